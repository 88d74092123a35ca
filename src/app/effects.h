#pragma once

#include "app/conversion_settings.h"
#include "support/settings/settings_store.h"

#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace morvex {

// Three numbers of one effect row (translation, rotation in degrees, scale),
// kept in double precision as the number boxes and the store hold them.
struct EffectVector {
    double x = 0.0;
    double y = 0.0;
    double z = 0.0;
    friend bool operator==(const EffectVector&, const EffectVector&) = default;
};

// The stored effects of the "Effects" section.
struct EffectSettings {
    bool recalculateNormals = false;
    bool removeDuplicateTriangles = false;
    bool applyCustomTransform = false;
    EffectVector translation{0.0, 0.0, 0.0};
    EffectVector rotation{0.0, 0.0, 0.0};
    EffectVector scale{1.0, 1.0, 1.0};
    bool loadEffectsDontShowMsg = false;
    friend bool operator==(const EffectSettings&, const EffectSettings&) = default;

    bool anySwitchOn() const { return recalculateNormals || removeDuplicateTriangles || applyCustomTransform; }
};

// Every editable effect number lies in -MaxEffectNumber .. MaxEffectNumber.
inline constexpr double MaxEffectNumber = 1000000.0;
// A scale component strictly inside +-this becomes 0 when committed.
inline constexpr double ScaleRoundingLimit = 0.001;
// A scale component within +-this counts as zero for the warning.
inline constexpr double ZeroScaleTolerance = 1.1920929e-7;

inline constexpr std::string_view EffectsSection = "Effects";
inline constexpr std::string_view ZeroScaleWarningTitle = "Scale";
inline constexpr std::string_view ZeroScaleWarningText =
    "It seems that you have specified a scale of Zero (or very near) in more than 1 axis. This seems to be invalid.";
inline constexpr std::string_view InvalidNumberText = "Enter a valid number";
inline constexpr std::string_view ReuseEffectsTitle = "Reuse Effects";
inline constexpr std::string_view ReuseEffectsQuestion =
    "Your previous conversion included custom effects. Do you want to load those effects for your next conversion?";

// Reads the "Effects" section in one read; numbers outside the editable
// range (a hand-edited file) are clamped into it.
EffectSettings loadEffects(const SettingsStore& store);
// The three switches and the nine numbers, written together.
bool storeEffects(const SettingsStore& store, const EffectSettings& effects);
// Switches off every effect: the three switches false, translation and
// rotation 0, scale 1.
bool clearEffects(const SettingsStore& store);

// "ApplyEffects" of "Options": effects survive a restart.
bool applyEffectsOption(const SettingsStore& store);
// The options page's OK: stores the option; switching it off clears every
// effect at once.
bool storeApplyEffectsOption(const SettingsStore& store, bool applyEffects);

// scale, then rotation about X, Y and Z, then translation; each number
// taken as a 32-bit float.
Matrix4 customTransformMatrix(const EffectSettings& effects);
// Fills the effect fields of a run's settings.
void loadEffectsInto(const EffectSettings& effects, ConversionSettings& settings);

// A number box's text: an optional leading minus, digits and at most one
// decimal point ("-0.5", ".5", "12."), within the editable range. Anything
// else ("1e3", "1,5", "+1", "1.2.3", "", "-") is rejected.
std::optional<double> parseEffectNumber(std::string_view text);
double clampEffectNumber(double value);
// What a number box shows for a value: the stored eight decimals without
// trailing zeros ("1", "-0.5", "0.0005"); never an exponent, never "-0", so
// that the box's own text is always accepted again.
std::string effectNumberText(double value);

// The 0.001 rounding of a committed scale component.
double roundNearZeroScale(double component);
// True when at least two of the three components are (nearly) zero.
bool scaleHasTwoZeroAxes(const EffectVector& scale);

// The scale as it is committed: clamped, rounded near zero, and whether the
// zero-scale warning must be shown before it is stored.
struct ScaleCommit {
    EffectVector scale;
    bool needsZeroScaleWarning = false;
};
ScaleCommit prepareScale(const EffectVector& entered);

// Answers the zero-scale warning: true for "Apply anyway...".
using ZeroScaleConfirmation = std::function<bool()>;

// OK of the Effects dialog. The switches are stored in any case; the numbers
// (clamped, scale rounded) only when the scale needs no warning or the
// warning was answered "Apply anyway...". False when the dialog stays open.
bool commitEffectsDialog(const SettingsStore& store, const EffectSettings& edited,
                         const ZeroScaleConfirmation& confirmZeroScale);

// OK of the one-row translation, rotation and scale dialogs: switches the
// custom transform on and stores that row. False when the dialog stays open.
enum class EffectRow { Translation, Rotation, Scale };
bool commitEffectRow(const SettingsStore& store, EffectRow row, const EffectVector& values,
                     const ZeroScaleConfirmation& confirmZeroScale);

// The start-up check, once per start of the desktop program.
enum class StartupEffectsDecision {
    Clear, // effects do not survive a restart, or none is on: cleared
    Ask,   // ask the reuse question
    Keep,  // the question is suppressed: the effects stay loaded
};
// Decides, and clears the effects itself when the decision is Clear.
StartupEffectsDecision runStartupEffectsCheck(const SettingsStore& store);
// The reuse question's answer: "No, clear effects" clears every effect; the
// check box is stored as "LoadEffectsDontShowMsg".
bool applyReuseEffectsAnswer(const SettingsStore& store, bool loadEffects, bool dontShowAgain);

} // namespace morvex
