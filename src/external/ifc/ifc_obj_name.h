#pragma once

#include <filesystem>
#include <string>

// Where the IFC tool writes its OBJ file for the output path it is given,
// and where the program reads it afterwards. Header only: the tool does not
// link our libraries.

namespace morvex {

// `output` itself when its name ends in ".obj" (any case), else `output`
// with ".obj" appended. Appending rather than replacing keeps names made
// from whole source paths apart: "Site_v1.2_house" and "Site_v1.3_house"
// must not both become "Site_v1.obj".
inline std::filesystem::path ifcToolObjPath(const std::filesystem::path& output)
{
    const std::string name = output.filename().string();
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
    if (name.size() > 4 && name[name.size() - 4] == '.' && lower(name[name.size() - 3]) == 'o' &&
        lower(name[name.size() - 2]) == 'b' && lower(name[name.size() - 1]) == 'j')
        return output;
    std::filesystem::path obj = output;
    obj += ".obj";
    return obj;
}

// The material library written beside that OBJ file: its ".obj" replaced by
// ".mtl".
inline std::filesystem::path ifcToolMtlPath(const std::filesystem::path& output)
{
    std::filesystem::path mtl = ifcToolObjPath(output);
    return mtl.replace_extension(".mtl");
}

} // namespace morvex
