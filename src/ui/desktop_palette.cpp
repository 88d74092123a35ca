#include "ui/desktop_palette.h"

#include <QApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusReply>
#include <QDBusVariant>
#include <QStyleFactory>

#include <cstdlib>
#include <string_view>

namespace morvex::ui {
namespace {

// The portal answers at once or not at all: a start never waits longer.
constexpr int PortalTimeoutMs = 300;

// The portal wraps the value in one or two variants, by version.
int unwrapInt(QVariant value)
{
    for (int depth = 0; depth < 3 && value.canConvert<QDBusVariant>() && value.userType() != QMetaType::Int &&
                        value.userType() != QMetaType::UInt;
         ++depth)
        value = value.value<QDBusVariant>().variant();
    bool ok = false;
    const int number = value.toInt(&ok);
    return ok ? number : 0;
}

ColorScheme portalColorScheme()
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return ColorScheme::NoPreference;
    QDBusMessage call = QDBusMessage::createMethodCall(
        "org.freedesktop.portal.Desktop", "/org/freedesktop/portal/desktop", "org.freedesktop.portal.Settings", "Read");
    call << QStringLiteral("org.freedesktop.appearance") << QStringLiteral("color-scheme");
    const QDBusMessage reply = bus.call(call, QDBus::Block, PortalTimeoutMs);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return ColorScheme::NoPreference;
    switch (unwrapInt(reply.arguments().front())) {
    case 1: return ColorScheme::Dark;
    case 2: return ColorScheme::Light;
    default: return ColorScheme::NoPreference;
    }
}

} // namespace

ColorScheme desktopColorScheme()
{
    if (const ColorScheme portal = portalColorScheme(); portal != ColorScheme::NoPreference)
        return portal;
    const char* theme = std::getenv("GTK_THEME");
    if (theme != nullptr && std::string_view(theme).ends_with(":dark"))
        return ColorScheme::Dark;
    return ColorScheme::NoPreference;
}

bool isDarkPalette(const QPalette& palette)
{
    return palette.color(QPalette::Window).lightness() < palette.color(QPalette::WindowText).lightness();
}

QPalette darkPalette()
{
    const QColor window(0x2D, 0x2D, 0x30);
    const QColor base(0x1E, 0x1E, 0x1E);
    const QColor text(0xE6, 0xE6, 0xE6);
    const QColor disabledText(0x80, 0x80, 0x80);
    const QColor highlight(0x2A, 0x6F, 0xC9);
    QPalette palette;
    palette.setColor(QPalette::Window, window);
    palette.setColor(QPalette::WindowText, text);
    palette.setColor(QPalette::Base, base);
    palette.setColor(QPalette::AlternateBase, window);
    palette.setColor(QPalette::ToolTipBase, QColor(0x3C, 0x3C, 0x40));
    palette.setColor(QPalette::ToolTipText, text);
    palette.setColor(QPalette::PlaceholderText, disabledText);
    palette.setColor(QPalette::Text, text);
    palette.setColor(QPalette::Button, window);
    palette.setColor(QPalette::ButtonText, text);
    palette.setColor(QPalette::BrightText, Qt::red);
    palette.setColor(QPalette::Light, window.lighter(150));
    palette.setColor(QPalette::Midlight, window.lighter(125));
    palette.setColor(QPalette::Mid, window.darker(120));
    palette.setColor(QPalette::Dark, window.darker(150));
    palette.setColor(QPalette::Shadow, Qt::black);
    palette.setColor(QPalette::Highlight, highlight);
    palette.setColor(QPalette::HighlightedText, Qt::white);
    palette.setColor(QPalette::Link, QColor(0x6C, 0xA8, 0xF0));
    palette.setColor(QPalette::LinkVisited, QColor(0xA8, 0x8C, 0xF0));
    for (const QPalette::ColorRole role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText})
        palette.setColor(QPalette::Disabled, role, disabledText);
    palette.setColor(QPalette::Disabled, QPalette::Highlight, window.lighter(130));
    return palette;
}

bool followDesktopColorScheme(ColorScheme scheme)
{
    if (scheme != ColorScheme::Dark || isDarkPalette(QApplication::palette()))
        return false;
    // Fusion draws every control from the palette; other styles may paint
    // parts of their own light.
    if (QStyle* fusion = QStyleFactory::create(QStringLiteral("Fusion")))
        QApplication::setStyle(fusion);
    QApplication::setPalette(darkPalette());
    return true;
}

} // namespace morvex::ui
