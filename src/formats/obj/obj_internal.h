#pragma once

// Pieces shared by the OBJ reader and the material library reader.

#include "formats/obj/obj.h"
#include "mesh/model.h"
#include "support/progress/progress_reporter.h"
#include "support/text/line_scanner.h"
#include "support/text/text.h"

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

namespace morvex::obj {

// Both file kinds check for a stop request and report the line number
// after this many lines.
inline constexpr std::uint64_t LinesPerCheck = 102;

// A keyword test on at most `length` characters, as the keyword tables do:
// "mtllib" and "mtllibx" both match on five.
inline bool keywordIs(std::string_view token, std::string_view keyword, std::size_t length)
{
    return token.substr(0, length) == keyword.substr(0, length);
}

// Materials gathered while an OBJ file is read: from its libraries and from
// "usemtl" names that no library defined. Ids count from 0 in creation order.
struct MaterialCollection {
    Model holder;                                      // only its materials and id counter are used
    std::unordered_map<std::string, Material*> byName; // the newest material of a name
    std::unordered_set<std::string> librariesRead;

    // The material of that name, created when there is none. nullptr when
    // memory ran out or the ids are used up; `failure` says which.
    Material* findOrAdd(const std::string& name, Failure* failure);
    Material* add(const std::string& name, Failure* failure);
};

// Reads the material libraries that an "mtllib" line names. A library that
// cannot be found or read is skipped (Success). Cancelled when the reporter
// asks to stop; Failure only when memory or material ids ran out.
OperationResult readMaterialLibrary(ObjCompanions& companions, std::string_view argument, MaterialCollection& materials,
                                    ProgressReporter& reporter, Failure* failure);

} // namespace morvex::obj
