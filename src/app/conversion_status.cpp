#include "app/conversion_status.h"

namespace morvex {

std::string_view conversionStatusText(ConversionStatus status)
{
    switch (status) {
    case ConversionStatus::Ready: return {};
    case ConversionStatus::Scheduled: return "Scheduled";
    case ConversionStatus::Converting: return "Converting";
    case ConversionStatus::Success: return "Success";
    case ConversionStatus::Cancelled: return "Cancelled";
    case ConversionStatus::Skipped: return "Skipped";
    case ConversionStatus::Replaced: return "Replaced";
    case ConversionStatus::ConvertedAndRenamed: return "Converted and renamed";
    case ConversionStatus::InsufficientDiskSpace: return "Insufficient disk space";
    case ConversionStatus::ReadFailed: return "Read failed";
    case ConversionStatus::SaveFailed: return "Save failed";
    case ConversionStatus::NotConvertible:
        return "File cannot be converted, may not be supported or may be corrupted.";
    }
    return {};
}

} // namespace morvex
