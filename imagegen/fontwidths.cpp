// SPDX-License-Identifier: GPL-3.0-or-later
// Build-time measure of the fonts a badge names: the advance width of every
// character of DejaVu Sans and DejaVu Sans Bold, in font units, written as
// a C++ header of runs (consecutive characters of one width share a run).
// The badge reads its text widths from this table, so a badge is measured
// exactly as a browser with the font lays it out, without a font at run time.
#include <ft2build.h>
#include FT_FREETYPE_H
#include FT_ADVANCES_H

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace {

struct Run {
    unsigned long first, last;
    long advance;
};

[[noreturn]] void fail(const std::string& why) {
    std::fprintf(stderr, "fontwidths: %s\n", why.c_str());
    std::exit(1);
}

// The runs of font `path`, and its units per em in `units`.
std::vector<Run> measure(FT_Library library, const std::string& path, long& units) {
    FT_Face face = nullptr;
    if (FT_New_Face(library, path.c_str(), 0, &face) != 0) fail("cannot read " + path);
    if (FT_Select_Charmap(face, FT_ENCODING_UNICODE) != 0) fail(path + " has no Unicode character map");
    units = face->units_per_EM;
    std::vector<Run> runs;
    FT_UInt glyph = 0;
    for (FT_ULong c = FT_Get_First_Char(face, &glyph); glyph != 0; c = FT_Get_Next_Char(face, c, &glyph)) {
        FT_Fixed advance = 0;
        if (FT_Get_Advance(face, glyph, FT_LOAD_NO_SCALE, &advance) != 0) fail("no advance for a glyph of " + path);
        if (!runs.empty() && runs.back().last + 1 == c && runs.back().advance == advance) {
            runs.back().last = c;
        } else {
            runs.push_back({c, c, advance});
        }
    }
    FT_Done_Face(face);
    return runs;
}

void write_table(std::ofstream& out, const char* name, const std::vector<Run>& runs) {
    out << "inline constexpr FontRun " << name << "[] = {\n";
    for (const Run& r : runs) out << "    {" << r.first << ", " << r.last << ", " << r.advance << "},\n";
    out << "};\n";
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: fontwidths <regular.ttf> <bold.ttf> <out.h>\n");
        return 2;
    }
    FT_Library library = nullptr;
    if (FT_Init_FreeType(&library) != 0) fail("cannot start FreeType");
    long units = 0, bold_units = 0;
    const std::vector<Run> regular = measure(library, argv[1], units);
    const std::vector<Run> bold = measure(library, argv[2], bold_units);
    FT_Done_FreeType(library);
    if (units != bold_units) fail("the two fonts differ in units per em");
    std::ofstream out(argv[3], std::ios::trunc);
    out << "// Made by fontwidths at build time from DejaVu Sans and DejaVu Sans Bold.\n"
           "#pragma once\n\nnamespace vorn::fontwidths {\n\n"
           "// Characters first to last (Unicode) all of `advance` font units.\n"
           "struct FontRun {\n    unsigned first, last;\n    unsigned short advance;\n};\n\n"
           "inline constexpr unsigned kUnitsPerEm = " << units << ";\n";
    write_table(out, "kSans", regular);
    write_table(out, "kSansBold", bold);
    out << "\n}  // namespace vorn::fontwidths\n";
    out.close();
    if (!out) fail(std::string("cannot write ") + argv[3]);
    return 0;
}
