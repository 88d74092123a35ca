// Seeds: 3mf model xml
#include "../tests/common/xml_feed_writer.h"
#include "../tests/common/xml_sink_recorder.h"
#include "fuzz_support.h"
#include "support/xml/xml_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::string owned;
    std::string_view text;
    if (!morvex::decodeXmlBytes(morvex::fuzzing::bytesOf(data, size), owned, text))
        return 0;
    morvex::XmlDocument document;
    std::string errorText;
    if (morvex::parseXmlText(text, document, errorText) != morvex::OperationResult::Success)
        return 0;
    // The same text parsed while another thread writes it a few bytes at a
    // time, looking only a little ahead: when that parse finishes, it must
    // give the tree and the error of the whole parse.
    morvex::testing::FeedParse fed;
    const std::size_t lookAhead = text.empty() ? 1 : 1 + static_cast<unsigned char>(text[0]) % 64;
    // A window of a few look-aheads makes the ring wrap in longer inputs.
    morvex::testing::parseWhileWriting(text, 1 + text.size() % 13, lookAhead, fed, lookAhead * (2 + text.size() % 5));
    if (fed.result == morvex::OperationResult::Success && !fed.incomplete &&
        (fed.errorText != errorText || !morvex::testing::sameXmlTree(fed.document.tree(), document.tree())))
        __builtin_trap();
    // The same text handed to a sink element by element: it hears what a
    // walk of the whole tree would tell it, with the same error.
    morvex::testing::RecordingSink expected;
    morvex::testing::replay(document, 0, expected);
    morvex::testing::RecordingSink streamed;
    morvex::XmlDocument dropped;
    std::string streamedError;
    if (morvex::parseXmlText(text, dropped, streamedError, nullptr, nullptr, &streamed) ==
            morvex::OperationResult::Success &&
        (streamed.events != expected.events || streamedError != errorText || dropped.nodeCount() != 1))
        __builtin_trap();
    return 0;
}
