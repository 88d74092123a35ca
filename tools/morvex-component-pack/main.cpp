// morvex-component-pack: makes signed component packages, for publishing
// and for the tests.
//   morvex-component-pack keygen NAME
//   morvex-component-pack pack --key KEY --id ID --version V [--output DIR] PROGRAM [FILE...]
//   morvex-component-pack sign --key KEY FILE

#include "external/components/component_package.h"
#include "external/components/component_setup.h"
#include "support/platform/files.h"
#include "support/platform/scratch_folder.h"
#include "support/zip/zip_component.h"

#include <sodium.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

using namespace morvex;

namespace {

constexpr const char* UsageText =
    "usage: morvex-component-pack keygen NAME\n"
    "       morvex-component-pack pack --key KEY --id ID --version V [--output DIR] PROGRAM [FILE...]\n"
    "       morvex-component-pack sign --key KEY FILE\n"
    "\n"
    "keygen  writes an Ed25519 key pair: NAME.key (the secret key, mode 0600) and\n"
    "        NAME.pub, and prints the public key, the text that goes into\n"
    "        TrustedKeys of the [Downloads] section of the machine-wide Components.ini.\n"
    "pack    writes DIR/ID.zip (default DIR: .) holding PROGRAM and the FILEs at its\n"
    "        top and a component.ini naming ID, V and PROGRAM as the path to\n"
    "        register, and its signature DIR/ID.zip.sig. Publish both under\n"
    "        /components/ on the download hosts, and \"version=V\" as\n"
    "        /versions/components/ID.txt on the version host.\n"
    "sign    writes FILE.sig, the detached signature of FILE.\n";

int fail(const std::string& message)
{
    std::fprintf(stderr, "morvex-component-pack: %s\n", message.c_str());
    return 1;
}

int usageError(const std::string& message)
{
    std::fprintf(stderr, "morvex-component-pack: %s\n%s", message.c_str(), UsageText);
    return 2;
}

bool writeWhole(const std::filesystem::path& path, std::string_view bytes, std::string& error)
{
    AtomicFileWriter writer;
    Failure failure;
    if (writer.open(path, &failure) == OperationResult::Success) {
        writer.write(bytes);
        if (writer.commit(&failure) == OperationResult::Success)
            return true;
    }
    error = describeFailure(failure);
    return false;
}

bool readWhole(const std::filesystem::path& path, std::string& bytes, std::string& error)
{
    MappedFile file;
    Failure failure;
    if (file.open(path, &failure) != OperationResult::Success) {
        error = path.string() + ": " + describeFailure(failure);
        return false;
    }
    bytes.assign(file.view());
    return true;
}

std::string toHex(const unsigned char* bytes, std::size_t length)
{
    std::string hex(length * 2 + 1, '\0');
    sodium_bin2hex(hex.data(), hex.size(), bytes, length);
    hex.pop_back();
    return hex;
}

bool readSecretKey(const std::filesystem::path& path, std::vector<unsigned char>& key, std::string& error)
{
    std::string text;
    if (!readWhole(path, text, error))
        return false;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' '))
        text.pop_back();
    key.assign(crypto_sign_SECRETKEYBYTES, 0);
    std::size_t length = 0;
    if (sodium_hex2bin(key.data(), key.size(), text.data(), text.size(), nullptr, &length, nullptr) != 0 ||
        length != key.size()) {
        error = path.string() + " is not a secret key made by 'morvex-component-pack keygen'";
        return false;
    }
    return true;
}

bool signFile(const std::filesystem::path& file, const std::vector<unsigned char>& key, std::string& error)
{
    std::string bytes;
    if (!readWhole(file, bytes, error))
        return false;
    unsigned char signature[crypto_sign_BYTES];
    crypto_sign_detached(signature, nullptr, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(),
                         key.data());
    return writeWhole(file.string() + ".sig",
                      std::string_view(reinterpret_cast<const char*>(signature), sizeof signature), error);
}

int keygen(const std::vector<std::string>& args)
{
    if (args.size() != 1)
        return usageError("keygen takes the name of the key pair");
    unsigned char publicKey[crypto_sign_PUBLICKEYBYTES];
    unsigned char secretKey[crypto_sign_SECRETKEYBYTES];
    crypto_sign_keypair(publicKey, secretKey);
    const std::string publicHex = toHex(publicKey, sizeof publicKey);
    const std::string secretHex = toHex(secretKey, sizeof secretKey) + "\n";
    sodium_memzero(secretKey, sizeof secretKey);
    std::string error;
    const std::filesystem::path secretFile = args[0] + ".key";
    if (!writeWhole(secretFile, secretHex, error) || !writeWhole(args[0] + ".pub", publicHex + "\n", error))
        return fail(error);
    std::filesystem::permissions(secretFile, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    std::printf("%s\n", publicHex.c_str());
    return 0;
}

// "--name value" pairs and the operands after them.
bool parseOptions(const std::vector<std::string>& args, std::map<std::string, std::string>& options,
                  std::vector<std::string>& operands, std::string& error)
{
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (!args[i].starts_with("--")) {
            operands.push_back(args[i]);
            continue;
        }
        if (args[i] != "--key" && args[i] != "--id" && args[i] != "--version" && args[i] != "--output") {
            error = "unknown option " + args[i];
            return false;
        }
        if (i + 1 == args.size()) {
            error = args[i] + " needs a value";
            return false;
        }
        options[args[i]] = args[i + 1];
        ++i;
    }
    return true;
}

int pack(const std::vector<std::string>& args)
{
    std::map<std::string, std::string> options;
    std::vector<std::string> files;
    std::string error;
    if (!parseOptions(args, options, files, error))
        return usageError(error);
    if (!options.contains("--key") || !options.contains("--id") || !options.contains("--version") || files.empty())
        return usageError("pack needs --key, --id, --version and the program");
    const std::string& id = options["--id"];
    if (!isValidComponentId(id))
        return usageError("\"" + id + "\" is not a component name (a-z, 0-9, '-', '_')");
    std::vector<unsigned char> key;
    if (!readSecretKey(options["--key"], key, error))
        return fail(error);

    ScratchFolder stage;
    Failure failure;
    if (stage.create(&failure) != OperationResult::Success)
        return fail(describeFailure(failure));
    for (const std::string& file : files) {
        const std::filesystem::path target = stage.path() / std::filesystem::path(file).filename();
        std::error_code copyError;
        if (!std::filesystem::copy_file(file, target, copyError))
            return fail("cannot take " + file + ": " + copyError.message());
    }
    const std::string manifest = "[Component]\nId=" + id + "\nVersion=" + options["--version"] +
                                 "\nPath=" + std::filesystem::path(files.front()).filename().string() + "\n";
    if (!writeWhole(stage.path() / ComponentManifestName, manifest, error))
        return fail(error);

    const std::filesystem::path output = options.contains("--output") ? options["--output"] : ".";
    const std::filesystem::path archive = output / (id + ".zip");
    StoppableReporter reporter;
    if (zipFolder(archive, stage.path(), reporter, &failure) != OperationResult::Success)
        return fail("cannot write " + archive.string() + ": " + describeFailure(failure));
    if (!signFile(archive, key, error))
        return fail(error);
    std::printf("%s\n%s.sig\n", archive.c_str(), archive.c_str());
    return 0;
}

int sign(const std::vector<std::string>& args)
{
    std::map<std::string, std::string> options;
    std::vector<std::string> files;
    std::string error;
    if (!parseOptions(args, options, files, error))
        return usageError(error);
    if (!options.contains("--key") || files.size() != 1)
        return usageError("sign needs --key and one file");
    std::vector<unsigned char> key;
    if (!readSecretKey(options["--key"], key, error) || !signFile(files.front(), key, error))
        return fail(error);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (sodium_init() < 0)
        return fail("libsodium cannot start");
    if (argc < 2)
        return usageError("no command given");
    const std::string command = argv[1];
    const std::vector<std::string> args(argv + 2, argv + argc);
    if (command == "--help" || command == "-h") {
        std::fputs(UsageText, stdout);
        return 0;
    }
    if (command == "keygen")
        return keygen(args);
    if (command == "pack")
        return pack(args);
    if (command == "sign")
        return sign(args);
    return usageError("unknown command '" + command + "'");
}
