#pragma once

// Archives built straight with libzip, whatever the names say, for tests of
// code that reads them.

#include <gtest/gtest.h>

#include <zip.h>

#include <filesystem>
#include <string>
#include <vector>

namespace morvex::testing {

struct ZipTestEntry {
    std::string name;
    std::string data;
    zip_uint16_t encryption = ZIP_EM_NONE; // the password is "secret"
};

// Writes the entries in this order, as another program might.
inline void buildZipArchive(const std::filesystem::path& path, const std::vector<ZipTestEntry>& entries)
{
    int code = 0;
    zip_t* archive = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &code);
    ASSERT_NE(archive, nullptr);
    for (const ZipTestEntry& entry : entries) {
        zip_source_t* source = zip_source_buffer(archive, entry.data.data(), entry.data.size(), 0);
        const zip_int64_t index = zip_file_add(archive, entry.name.c_str(), source, ZIP_FL_ENC_UTF_8);
        ASSERT_GE(index, 0) << entry.name;
        if (entry.encryption != ZIP_EM_NONE) {
            ASSERT_EQ(zip_file_set_encryption(archive, static_cast<zip_uint64_t>(index), entry.encryption, "secret"),
                      0);
        }
    }
    ASSERT_EQ(zip_close(archive), 0);
}

} // namespace morvex::testing
