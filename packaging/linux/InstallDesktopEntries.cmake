# Run by `cmake --install`: writes the desktop entry for the prefix being
# installed to. Sessions start what is in /etc/xdg/autostart, so a /usr
# install (the package) puts it there too; for any other prefix the entry is
# only in share/applications, and scripts/install-user links it into the
# user's autostart folder.
set(CMAKE_INSTALL_FULL_BINDIR "${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}")
configure_file("${LULLSWITCH_DESKTOP_ENTRY_TEMPLATE}" "${LULLSWITCH_DESKTOP_ENTRY_STAGING}/lullswitch.desktop" @ONLY)
file(INSTALL "${LULLSWITCH_DESKTOP_ENTRY_STAGING}/lullswitch.desktop"
    DESTINATION "${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_DATADIR}/applications")
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
    file(INSTALL "${LULLSWITCH_DESKTOP_ENTRY_STAGING}/lullswitch.desktop" DESTINATION /etc/xdg/autostart)
endif()
