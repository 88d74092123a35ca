#include "app/completion_summary.h"

namespace morvex {

CompletionSummary completionSummary(unsigned converted, unsigned selected)
{
    CompletionSummary summary;
    if (converted == 0)
        return summary; // nothing converted: no bar
    summary.shown = true;
    summary.text = converted == selected ? ConversionCompleteText : SomeNotConvertedText;
    summary.offerOpenFile = converted == 1;
    summary.offerOpenFolder = true;
    return summary;
}

} // namespace morvex
