#include "app/routing.h"

#include "support/text/text.h"

#include <cstdio>
#include <cstdlib>
#include <unordered_map>

namespace morvex {
namespace {

constexpr std::string_view PreviewSection = "Preview";

// The media lists, each in its own order; where lists overlap the earlier
// list wins.
constexpr std::string_view audioExtensions =
    "aac act rcd red ac3 aif aiff aifc amr ape au caf cda dct ds2 dss dvf flac gsm m3u m4a m4r mid mod moh mp2 "
    "mp3 mpc mpga msv ogg pls ra rss shn spx voc vox wav wma wpl wv";
constexpr std::string_view videoExtensions =
    "4xm aa ac3 act adf adp adx aea afc aiff alaw alias_pix amr anm apc ape aqtitle asf asf_o ass ast au avi "
    "avisynth avr avs bethsoftvid bfi bfstm bin bink bit bmp_pipe bmv boa brender_pix brstm c93 caf cavsvideo cdg "
    "cdxl cine concat data daud dds_pipe decklink dfa dirac dnxhd dpx_pipe dsf dshow dsicin dss dts dtshd dv "
    "dvbsub dxa ea ea_cdata eac3 epaf exr_pipe f32be f32le f64be f64le ffm ffmetadata film_cpk filmstrip flac "
    "flic flv frm g722 g723_1 g729 gdigrab gsm gxf h261 h263 h264 hevc hls hnm idcin idf iff ilbc image2 "
    "image2pipe ingenient ipmovie ircam iss iv8 ivf j2k_pipe jacosub jpeg_pipe jpegls_pipe jv latm lavfi libgme "
    "libmodplug live_flv lmlm4 loas lrc lvf lxf m4v matroska mgsts microdvd mjpeg mlp mlv mm mmf mov mp4 m4a "
    "3gp 3g2 mj2 mpc mpc8 mpeg mpegts mpegtsraw mpegvideo mpjpeg mpl2 mpsub msnwctcp mtv mulaw mv mvi mxf mxg "
    "nc nistsphere nsv nut nuv ogg oma paf pictor_pipe pjs pmp png_pipe psxstr pva pvf qcp qdraw_pipe r3d "
    "rawvideo realtext redspark rl2 rm roq rpl rsd rso rtp rtsp s16be s16le s24be s24le s32be s32le s8 sami sap "
    "sbg sdp sdr2 sgi_pipe shn siff sln smjpeg smk smush sol sox spdif srt subviewer subviewer1 sunrast_pipe sup "
    "swf tak tedcaptions thp tiertexseq tiff_pipe tmv truehd tta tty txd u16be u16le u24be u24le u32be u32le u8 "
    "vc1 vc1test vfwcap vivo vmd vobsub voc vplayer vqf w64 wc3movie webm_dash_manifest webp_pipe webvtt wsaud "
    "wsvqa wtv wv xa xbin xmv xwma yop yuv4mpegpipe mpg wmv divx m2ts mts mkv rmvb vob";
constexpr std::string_view imageExtensions =
    "psd tga gif jpeg aae ai avif cr3 dds heic heif jfif psb xcf wbmp jpg jp2 jps wdp hdp hdp jxr iff bmp apng "
    "ico mpo exr pcx png pbm pgm ppm pnm pgf arw cr2 crw dcr dng erf kdc mef mos mrw nef nrw orf pef ptx r3d raf "
    "raw rw2 sr2 srf srw x3f ras svg tiff tif webp wmf emf";
constexpr std::string_view compressedExtensions =
    "zip jar rar cab dmg tar tgz gz 7z iso img bkz bz2 wim xz nco z zipx apk pkpass arj lzh";
constexpr std::string_view documentExtensions =
    "doc docx pptx html htm odt rtf pdf txt pages epub fb2 mobi prc xhtml mht mhtml eml csv xls xlsx xps wp wpd "
    "wps asm inc s c cpp cs cxx h hxx j js jav java pas pl py rb php bas vb vbs xml log ris";

constexpr std::string_view nativeExtensions[] = {"3dp", "3ds", "3mf", "obj", "ply", "stl"};

// Read by a reader of the program or routed to a converter, after ".3dp".
constexpr std::string_view routedExtensions[] = {
    "3ds", "3mf", "obj", "ply", "stl", "sdf", "mqo",  "ifc", "fbx", "3d",  "ac",  "ase", "b3d", "blend", "cob",
    "dae", "dxf", "gltf", "glb", "hmp", "lwo", "lws", "lxo", "mdl", "md2", "md3", "mdc", "md5", "ms3d",  "ndo",
    "nff", "off", "ogex", "pk3", "q3d", "q3s", "raw", "scn", "smd", "ter", "vta", "x",   "xgl", "zgl",
};

// The dialog lists every supported extension but ".ifc", in this order.
constexpr std::string_view dialogExtensions[] = {
    "3d",  "3dp", "3ds", "3mf", "ac",  "ase",  "b3d", "blend", "cob", "dae", "dxf", "fbx", "glb", "gltf", "hmp",
    "lwo", "lws", "lxo", "md2", "md3", "md5",  "mdc", "mdl",   "mqo", "ms3d", "ndo", "nff", "obj", "off", "ogex",
    "ply", "pk3", "q3d", "q3s", "raw", "scn",  "sdf", "smd",   "stl", "ter", "vta", "x",   "xgl", "zgl",
};
constexpr std::string_view popularExtensions[] = {"3ds", "3mf", "blend", "dae", "fbx", "glb", "gltf", "obj", "stl"};

const std::unordered_map<std::string_view, MediaKind>& mediaTable()
{
    static const std::unordered_map<std::string_view, MediaKind> table = [] {
        std::unordered_map<std::string_view, MediaKind> built;
        const std::pair<std::string_view, MediaKind> lists[] = {
            {audioExtensions, MediaKind::Audio},           {videoExtensions, MediaKind::Video},
            {imageExtensions, MediaKind::Image},           {compressedExtensions, MediaKind::Compressed},
            {documentExtensions, MediaKind::Document},
        };
        for (const auto& [list, kind] : lists) {
            std::string_view rest = list;
            while (!rest.empty()) {
                const std::size_t space = rest.find(' ');
                built.emplace(rest.substr(0, space), kind); // keeps the first list's kind
                rest = space == std::string_view::npos ? std::string_view() : rest.substr(space + 1);
            }
        }
        return built;
    }();
    return table;
}

template <std::size_t N>
bool listed(const std::string_view (&list)[N], std::string_view extension)
{
    for (std::string_view entry : list)
        if (equalsIgnoreCase(entry, extension))
            return true;
    return false;
}

std::string patternsOf(const std::string_view* extensions, std::size_t count)
{
    std::string patterns;
    for (std::size_t i = 0; i < count; ++i) {
        patterns += "*.";
        patterns += extensions[i];
        patterns += ';';
    }
    return patterns;
}

} // namespace

MediaKind mediaKindOf(std::string_view extension)
{
    const std::string lower = asciiLower(withoutLeadingDot(extension));
    const auto& table = mediaTable();
    const auto found = table.find(lower);
    return found == table.end() ? MediaKind::None : found->second;
}

std::string_view mediaNoticeTitle(MediaKind kind)
{
    switch (kind) {
    case MediaKind::Audio: return "Audio File Selected";
    case MediaKind::Video: return "Video File Selected";
    case MediaKind::Image: return "Image File Selected";
    case MediaKind::Compressed: return "Compress File Selected";
    case MediaKind::Document: return "Document File Selected";
    case MediaKind::None: break;
    }
    return {};
}

std::string mediaNoticeText(MediaKind kind, const std::filesystem::path& file)
{
    std::string_view what;
    switch (kind) {
    case MediaKind::Audio: what = "an audio file"; break;
    case MediaKind::Video: what = "a video file"; break;
    case MediaKind::Image: what = "an image file"; break;
    case MediaKind::Compressed: what = "a compressed file"; break;
    case MediaKind::Document: what = "a document file"; break;
    case MediaKind::None: return {};
    }
    return "\"" + sanitizeUtf8(file.filename().string()) + "\" is " + std::string(what) +
           ". Morvex converts 3D model files only, so it was not added.";
}

bool isSupportedInput(std::string_view extension)
{
    extension = withoutLeadingDot(extension);
    return equalsIgnoreCase(extension, "3dp") || listed(routedExtensions, extension);
}

bool isNativeInput(std::string_view extension)
{
    return listed(nativeExtensions, withoutLeadingDot(extension));
}

std::uint32_t formatFlagsFor(std::string_view extension)
{
    return (isSupportedInput(extension) ? SupportedFormatFlag : 0u) | (isNativeInput(extension) ? NativeFormatFlag : 0u);
}

std::string_view notConvertibleReason(const std::filesystem::path& file)
{
    if (!equalsIgnoreCase(extensionOf(file.string()), ".mdl"))
        return NotConvertibleText;
    std::FILE* stream = std::fopen(file.c_str(), "rb");
    if (stream == nullptr)
        return NotConvertibleText;
    char magic[4] = {};
    const std::size_t got = std::fread(magic, 1, sizeof magic, stream);
    std::fclose(stream);
    const std::string_view head(magic, got);
    return head == "IDST" || head == "TSDI" ? UnsupportedMdlText : NotConvertibleText;
}

std::string recordPreviewOutcome(const SettingsStore& store, const std::filesystem::path& file,
                                 OperationResult readResult)
{
    std::string reason;
    if (readResult == OperationResult::Failure)
        reason = notConvertibleReason(file);
    store.update([&](IniDocument& document) {
        document.removeSection(PreviewSection);
        return reason.empty() || document.set(PreviewSection, "Status", reason);
    });
    return reason;
}

std::string storedPreviewReason(const SettingsStore& store)
{
    return store.readText(PreviewSection, "Status");
}

std::filesystem::path inputDialogFolder(const SettingsStore& store)
{
    const std::string stored = store.readText("Options", "Input folder");
    if (!stored.empty())
        return stored;
    const char* home = std::getenv("HOME");
    const std::filesystem::path homeFolder = home != nullptr && home[0] == '/' ? home : "/";
    const char* pictures = std::getenv("XDG_PICTURES_DIR");
    std::error_code error;
    for (const std::filesystem::path& candidate :
         {pictures != nullptr && pictures[0] == '/' ? std::filesystem::path(pictures) : homeFolder / "Pictures",
          homeFolder / "Documents"})
        if (std::filesystem::is_directory(candidate, error))
            return candidate;
    return homeFolder;
}

bool rememberInputFolder(const SettingsStore& store, const std::filesystem::path& firstChosenFile)
{
    const std::filesystem::path folder = firstChosenFile.parent_path();
    return !folder.empty() && store.writeText("Options", "Input folder", folder.string());
}

std::vector<FileDialogFilter> modelFileDialogFilters()
{
    std::vector<FileDialogFilter> filters;
    filters.push_back({"All Files", "*.*"});
    filters.push_back({"Model Formats", patternsOf(dialogExtensions, std::size(dialogExtensions))});
    filters.push_back({"Popular Formats", patternsOf(popularExtensions, std::size(popularExtensions))});
    for (std::string_view extension : dialogExtensions) {
        const std::string pattern = "*." + std::string(extension);
        std::string upper(extension);
        for (char& c : upper)
            if (c >= 'a' && c <= 'z')
                c = static_cast<char>(c - 'a' + 'A');
        filters.push_back({upper + " File Format (" + pattern + ")", pattern});
    }
    return filters;
}

} // namespace morvex
