# `cpack` packages whatever the install rules put in place: the Debian package
# on Linux (cmake --workflow --preset deb), the disk image on macOS
# (cpack -G DragNDrop).
set(CPACK_PACKAGE_VENDOR "The Lullswitch authors")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "returns to alphanumeric input after a pause in typing Japanese")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)

if(APPLE)
    set(CPACK_GENERATOR DragNDrop)
    set(CPACK_PACKAGE_NAME Lullswitch)
    set(CPACK_PACKAGE_FILE_NAME Lullswitch-${PROJECT_VERSION})
    set(CPACK_DMG_VOLUME_NAME Lullswitch)
    # The image holds the app, a link to /Applications to drag it onto, and
    # the licence as a file (not as terms to accept before the image opens).
    set(CPACK_DMG_DISABLE_APPLICATIONS_SYMLINK OFF)
    unset(CPACK_RESOURCE_FILE_LICENSE)
    install(FILES LICENSE DESTINATION .)
else()
    set(CPACK_GENERATOR DEB)
    set(CPACK_PACKAGE_NAME lullswitch)
    set(LULLSWITCH_PACKAGE_MAINTAINER "The Lullswitch authors <maintainers@lullswitch.app>"
        CACHE STRING "The Maintainer field of the Debian package")
    set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${LULLSWITCH_PACKAGE_MAINTAINER}")
    set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
    set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
    set(CPACK_DEBIAN_PACKAGE_SECTION utils)
    set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
    # Used at run time without being linked: fcitx5's D-Bus addons (the
    # controller it switches through) and the About dialog.
    set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "fcitx5-modules, zenity")
    # The summary is the synopsis line; this file is the long description.
    file(READ ${PROJECT_SOURCE_DIR}/packaging/debian/description CPACK_DEBIAN_PACKAGE_DESCRIPTION)
    # dpkg keeps a changed autostart entry on upgrade and removes it on purge.
    set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/debian/conffiles)

    # Debian's documentation: compressed as its policy asks (no time stamp,
    # so the package is reproducible).
    include(GNUInstallDirs)
    set(doc_dir ${CMAKE_INSTALL_DATADIR}/doc/lullswitch)
    set(changelog ${PROJECT_BINARY_DIR}/changelog.Debian.gz)
    set(manual ${PROJECT_BINARY_DIR}/lullswitch.1.gz)
    add_custom_command(OUTPUT ${changelog}
        COMMAND gzip -9nc ${PROJECT_SOURCE_DIR}/packaging/debian/changelog > ${changelog}
        DEPENDS ${PROJECT_SOURCE_DIR}/packaging/debian/changelog)
    add_custom_command(OUTPUT ${manual}
        COMMAND gzip -9nc ${PROJECT_SOURCE_DIR}/packaging/linux/lullswitch.1 > ${manual}
        DEPENDS ${PROJECT_SOURCE_DIR}/packaging/linux/lullswitch.1)
    add_custom_target(lullswitch_documentation ALL DEPENDS ${changelog} ${manual})
    install(FILES packaging/debian/copyright packaging/debian/README ${changelog} DESTINATION ${doc_dir})
    install(FILES ${manual} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()

include(CPack)
