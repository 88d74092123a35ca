#include "app/media_kinds.h"

#include "support/text/text.h"

#include <unordered_map>

namespace morvex {
namespace {

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

const std::unordered_map<std::string_view, MediaKind>& mediaTable()
{
    static const std::unordered_map<std::string_view, MediaKind> table = [] {
        std::unordered_map<std::string_view, MediaKind> built;
        const std::pair<std::string_view, MediaKind> lists[] = {
            {audioExtensions, MediaKind::Audio},       {videoExtensions, MediaKind::Video},
            {imageExtensions, MediaKind::Image},       {compressedExtensions, MediaKind::Compressed},
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

} // namespace morvex
