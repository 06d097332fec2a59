// Build-time tool: renders the status titles into tray pixmaps (a C++ source)
// and the first title into a scalable SVG icon.
//
//   render-status-glyphs FONT OUT.cpp OUT.svg TITLE...
#include <ft2build.h>
#include FT_FREETYPE_H
#include FT_OUTLINE_H

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr int iconSizes[] = { 16, 22, 24, 32, 48 };

// Decodes the first UTF-8 code point of a title.
char32_t firstCodePoint(const std::string& text)
{
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    if (text.empty())
        return 0;
    if (bytes[0] < 0x80)
        return bytes[0];
    int length = bytes[0] >= 0xF0 ? 4 : bytes[0] >= 0xE0 ? 3 : 2;
    char32_t code = bytes[0] & (0x7F >> length);
    for (int i = 1; i < length && i < static_cast<int>(text.size()); ++i)
        code = (code << 6) | (bytes[i] & 0x3F);
    return code;
}

// Light glyph over a soft dark halo, so it reads on dark and light panels.
std::vector<std::uint8_t> renderPixmap(FT_Face face, char32_t code, int size)
{
    const int glyphPixels = std::max(8, size * 7 / 8);
    FT_Set_Pixel_Sizes(face, 0, static_cast<FT_UInt>(glyphPixels));
    std::vector<float> coverage(static_cast<std::size_t>(size * size), 0.0f);
    if (FT_Load_Char(face, code, FT_LOAD_RENDER | FT_LOAD_TARGET_NORMAL) == 0) {
        const FT_Bitmap& bitmap = face->glyph->bitmap;
        const int width = static_cast<int>(bitmap.width);
        const int rows = static_cast<int>(bitmap.rows);
        const int left = (size - width) / 2;
        const int top = (size - rows) / 2;
        for (int y = 0; y < rows; ++y)
            for (int x = 0; x < width; ++x) {
                const int px = left + x;
                const int py = top + y;
                if (px < 0 || py < 0 || px >= size || py >= size)
                    continue;
                coverage[static_cast<std::size_t>(py * size + px)] = bitmap.buffer[y * bitmap.pitch + x] / 255.0f;
            }
    }
    std::vector<std::uint8_t> argb;
    argb.reserve(static_cast<std::size_t>(size * size * 4));
    for (int y = 0; y < size; ++y)
        for (int x = 0; x < size; ++x) {
            float halo = 0;
            for (int dy = -1; dy <= 1; ++dy)
                for (int dx = -1; dx <= 1; ++dx) {
                    const int nx = x + dx;
                    const int ny = y + dy;
                    if (nx >= 0 && ny >= 0 && nx < size && ny < size)
                        halo = std::max(halo, coverage[static_cast<std::size_t>(ny * size + nx)]);
                }
            const float fg = coverage[static_cast<std::size_t>(y * size + x)];
            const float bg = halo * 0.6f;
            const float alpha = fg + bg * (1 - fg);
            const float light = alpha > 0 ? (fg * 0.96f) / alpha : 0;
            const auto channel = static_cast<std::uint8_t>(std::clamp(light * 255.0f + 0.5f, 0.0f, 255.0f));
            argb.push_back(static_cast<std::uint8_t>(std::clamp(alpha * 255.0f + 0.5f, 0.0f, 255.0f)));
            argb.push_back(channel);
            argb.push_back(channel);
            argb.push_back(channel);
        }
    return argb;
}

struct SvgPath {
    std::ostringstream d;
    double scale;
    double offsetX;
    double offsetY;
    void point(const FT_Vector* v)
    {
        d << ' ' << (static_cast<double>(v->x) * scale + offsetX) << ' '
          << (offsetY - static_cast<double>(v->y) * scale);
    }
};

int moveTo(const FT_Vector* to, void* user)
{
    auto* path = static_cast<SvgPath*>(user);
    path->d << " M";
    path->point(to);
    return 0;
}
int lineTo(const FT_Vector* to, void* user)
{
    auto* path = static_cast<SvgPath*>(user);
    path->d << " L";
    path->point(to);
    return 0;
}
int conicTo(const FT_Vector* control, const FT_Vector* to, void* user)
{
    auto* path = static_cast<SvgPath*>(user);
    path->d << " Q";
    path->point(control);
    path->point(to);
    return 0;
}
int cubicTo(const FT_Vector* control1, const FT_Vector* control2, const FT_Vector* to, void* user)
{
    auto* path = static_cast<SvgPath*>(user);
    path->d << " C";
    path->point(control1);
    path->point(control2);
    path->point(to);
    return 0;
}

// The glyph as an outline on a rounded dark tile: an application icon that
// needs no font to display.
std::string renderSvg(FT_Face face, char32_t code)
{
    FT_Set_Char_Size(face, 0, 1000 * 64, 72, 72);
    FT_Load_Char(face, code, FT_LOAD_NO_BITMAP | FT_LOAD_NO_HINTING);
    FT_BBox box;
    FT_Outline_Get_CBox(&face->glyph->outline, &box);
    SvgPath path;
    path.scale = 100.0 / (1000.0 * 64.0);
    const double width = static_cast<double>(box.xMax - box.xMin) * path.scale;
    const double height = static_cast<double>(box.yMax - box.yMin) * path.scale;
    const double glyphScale = 100.0 / std::max(width, height);
    path.scale *= glyphScale * 0.7;
    path.offsetX = 64.0 - static_cast<double>(box.xMin + box.xMax) / 2.0 * path.scale;
    path.offsetY = 64.0 + static_cast<double>(box.yMin + box.yMax) / 2.0 * path.scale;
    FT_Outline_Funcs funcs {};
    funcs.move_to = moveTo;
    funcs.line_to = lineTo;
    funcs.conic_to = conicTo;
    funcs.cubic_to = cubicTo;
    FT_Outline_Decompose(&face->glyph->outline, &funcs, &path);
    std::ostringstream svg;
    svg << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"128\" height=\"128\" viewBox=\"0 0 128 128\">\n"
        << "  <rect x=\"4\" y=\"4\" width=\"120\" height=\"120\" rx=\"24\" fill=\"#2f3a45\"/>\n"
        << "  <path fill=\"#f5f5f5\" fill-rule=\"nonzero\" d=\"" << path.d.str() << " Z\"/>\n"
        << "</svg>\n";
    return svg.str();
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 5) {
        std::fprintf(stderr, "usage: %s FONT OUT.cpp OUT.svg TITLE...\n", argv[0]);
        return 2;
    }
    FT_Library library;
    FT_Face face;
    if (FT_Init_FreeType(&library) != 0 || FT_New_Face(library, argv[1], 0, &face) != 0) {
        std::fprintf(stderr, "%s: cannot load the font %s\n", argv[0], argv[1]);
        return 1;
    }
    std::ostringstream source;
    source << "// Generated by render-status-glyphs from " << argv[1] << "; do not edit.\n"
           << "#include \"platform/linux/StatusIconPixmaps.h\"\n\n"
           << "namespace lullswitch::linux_backend {\n\nnamespace {\n\n";
    std::ostringstream lookup;
    for (int t = 4; t < argc; ++t) {
        const std::string title = argv[t];
        const char32_t code = firstCodePoint(title);
        if (FT_Get_Char_Index(face, code) == 0) {
            std::fprintf(stderr, "%s: the font has no glyph for %s\n", argv[0], argv[t]);
            return 1;
        }
        for (int size : iconSizes) {
            const auto argb = renderPixmap(face, code, size);
            source << "constexpr std::uint8_t title" << t << "_" << size << "[] = {";
            for (std::size_t i = 0; i < argb.size(); ++i)
                source << (i % 24 == 0 ? "\n    " : " ") << static_cast<int>(argb[i]) << ",";
            source << "\n};\n";
        }
        source << "constexpr IconPixmap title" << t << "[] = {\n";
        for (int size : iconSizes)
            source << "    { " << size << ", " << size << ", title" << t << "_" << size << ", sizeof title" << t << "_"
                   << size << " },\n";
        source << "};\n\n";
        lookup << "    if (title == \"";
        for (unsigned char c : title) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
            lookup << escaped;
        }
        lookup << "\")\n        return title" << t << ";\n";
    }
    source << "} // namespace\n\nstd::span<const IconPixmap> statusIconPixmaps(std::string_view title)\n{\n"
           << lookup.str() << "    return {};\n}\n\n} // namespace lullswitch::linux_backend\n";

    std::ofstream(argv[2]) << source.str();
    std::ofstream(argv[3]) << renderSvg(face, firstCodePoint(argv[4]));
    FT_Done_Face(face);
    FT_Done_FreeType(library);
    return 0;
}
