#include "app/effects.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <string>
#include <vector>

namespace morvex {
namespace {

constexpr const char* OptionsSection = "Options";

struct NumberRow {
    const char* names[3];
    EffectVector EffectSettings::*member;
    double fallback;
};

constexpr NumberRow numberRows[] = {
    {{"CustomTranslationX", "CustomTranslationY", "CustomTranslationZ"}, &EffectSettings::translation, 0.0},
    {{"CustomRotationX", "CustomRotationY", "CustomRotationZ"}, &EffectSettings::rotation, 0.0},
    {{"CustomScaleX", "CustomScaleY", "CustomScaleZ"}, &EffectSettings::scale, 1.0},
};

struct SwitchRow {
    const char* name;
    bool EffectSettings::*member;
};

constexpr SwitchRow switchRows[] = {
    {"RecalculateNormals", &EffectSettings::recalculateNormals},
    {"RemoveDuplicateTriangles", &EffectSettings::removeDuplicateTriangles},
    {"ApplyCustomTransform", &EffectSettings::applyCustomTransform},
};

const NumberRow& numberRowOf(EffectRow row)
{
    switch (row) {
    case EffectRow::Translation: return numberRows[0];
    case EffectRow::Rotation: return numberRows[1];
    case EffectRow::Scale: break;
    }
    return numberRows[2];
}

double* component(EffectVector& vector, int axis)
{
    return axis == 0 ? &vector.x : axis == 1 ? &vector.y : &vector.z;
}

void appendSwitches(std::vector<SettingValue>& values, const EffectSettings& effects)
{
    for (const SwitchRow& row : switchRows)
        values.push_back({std::string(EffectsSection), row.name, effects.*row.member ? "1" : "0"});
}

void appendNumbers(std::vector<SettingValue>& values, const NumberRow& row, EffectVector numbers)
{
    for (int axis = 0; axis < 3; ++axis)
        values.push_back({std::string(EffectsSection), row.names[axis],
                          numberToSetting(clampEffectNumber(*component(numbers, axis)))});
}

EffectVector clampedVector(EffectVector vector)
{
    for (int axis = 0; axis < 3; ++axis)
        *component(vector, axis) = clampEffectNumber(*component(vector, axis));
    return vector;
}

Vector3 toFloats(const EffectVector& vector)
{
    return {static_cast<float>(vector.x), static_cast<float>(vector.y), static_cast<float>(vector.z)};
}

} // namespace

EffectSettings loadEffects(const SettingsStore& store)
{
    const IniDocument document = store.snapshot();
    EffectSettings effects;
    for (const SwitchRow& row : switchRows)
        effects.*row.member = settingToBool(document.find(EffectsSection, row.name), false);
    for (const NumberRow& row : numberRows)
        for (int axis = 0; axis < 3; ++axis)
            *component(effects.*row.member, axis) =
                clampEffectNumber(settingToNumber(document.find(EffectsSection, row.names[axis]), row.fallback));
    effects.loadEffectsDontShowMsg = settingToBool(document.find(EffectsSection, "LoadEffectsDontShowMsg"), false);
    return effects;
}

bool storeEffects(const SettingsStore& store, const EffectSettings& effects)
{
    std::vector<SettingValue> values;
    appendSwitches(values, effects);
    for (const NumberRow& row : numberRows)
        appendNumbers(values, row, effects.*row.member);
    return store.writeValues(values);
}

bool clearEffects(const SettingsStore& store)
{
    EffectSettings cleared;
    return storeEffects(store, cleared);
}

bool applyEffectsOption(const SettingsStore& store)
{
    return store.readBool(OptionsSection, "ApplyEffects", false);
}

bool storeApplyEffectsOption(const SettingsStore& store, bool applyEffects)
{
    const bool stored = store.writeBool(OptionsSection, "ApplyEffects", applyEffects);
    return applyEffects ? stored : clearEffects(store) && stored;
}

Matrix4 customTransformMatrix(const EffectSettings& effects)
{
    return composeTransform(toFloats(effects.rotation), toFloats(effects.scale), Matrix4::identity(),
                            toFloats(effects.translation));
}

void loadEffectsInto(const EffectSettings& effects, ConversionSettings& settings)
{
    settings.recalculateNormalsOn = effects.recalculateNormals;
    settings.removeDuplicatesOn = effects.removeDuplicateTriangles;
    settings.customTransformOn = effects.applyCustomTransform;
    settings.customMatrix = customTransformMatrix(effects);
}

std::optional<double> parseEffectNumber(std::string_view text)
{
    std::size_t at = 0;
    if (at < text.size() && text[at] == '-')
        ++at;
    bool digits = false;
    bool point = false;
    for (std::size_t i = at; i < text.size(); ++i) {
        if (text[i] >= '0' && text[i] <= '9')
            digits = true;
        else if (text[i] == '.' && !point)
            point = true;
        else
            return std::nullopt;
    }
    if (!digits)
        return std::nullopt;
    double value = 0.0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, std::chars_format::fixed);
    if (error != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    if (value < -MaxEffectNumber || value > MaxEffectNumber)
        return std::nullopt;
    return value;
}

double clampEffectNumber(double value)
{
    if (std::isnan(value))
        return 0.0;
    return std::clamp(value, -MaxEffectNumber, MaxEffectNumber);
}

std::string effectNumberText(double value)
{
    std::string text = numberToSetting(clampEffectNumber(value));
    const std::size_t point = text.find('.');
    if (point != std::string::npos) {
        std::size_t end = text.find_last_not_of('0');
        text.erase(end == point ? point : end + 1);
    }
    return text == "-0" ? "0" : text;
}

double roundNearZeroScale(double component)
{
    return component > -ScaleRoundingLimit && component < ScaleRoundingLimit ? 0.0 : component;
}

bool scaleHasTwoZeroAxes(const EffectVector& scale)
{
    const auto isZero = [](double v) { return v >= -ZeroScaleTolerance && v <= ZeroScaleTolerance; };
    return isZero(scale.x) + isZero(scale.y) + isZero(scale.z) >= 2;
}

ScaleCommit prepareScale(const EffectVector& entered)
{
    ScaleCommit commit;
    commit.scale = clampedVector(entered);
    for (int axis = 0; axis < 3; ++axis)
        *component(commit.scale, axis) = roundNearZeroScale(*component(commit.scale, axis));
    commit.needsZeroScaleWarning = scaleHasTwoZeroAxes(commit.scale);
    return commit;
}

bool commitEffectsDialog(const SettingsStore& store, const EffectSettings& edited,
                         const ZeroScaleConfirmation& confirmZeroScale)
{
    std::vector<SettingValue> values;
    appendSwitches(values, edited);
    const ScaleCommit scale = prepareScale(edited.scale);
    if (scale.needsZeroScaleWarning && !(confirmZeroScale && confirmZeroScale())) {
        store.writeValues(values);
        return false;
    }
    appendNumbers(values, numberRows[0], edited.translation);
    appendNumbers(values, numberRows[1], edited.rotation);
    appendNumbers(values, numberRows[2], scale.scale);
    store.writeValues(values);
    return true;
}

bool commitEffectRow(const SettingsStore& store, EffectRow row, const EffectVector& values,
                     const ZeroScaleConfirmation& confirmZeroScale)
{
    EffectVector numbers = values;
    if (row == EffectRow::Scale) {
        const ScaleCommit scale = prepareScale(values);
        if (scale.needsZeroScaleWarning && !(confirmZeroScale && confirmZeroScale()))
            return false;
        numbers = scale.scale;
    }
    std::vector<SettingValue> writes{{std::string(EffectsSection), "ApplyCustomTransform", "1"}};
    appendNumbers(writes, numberRowOf(row), numbers);
    store.writeValues(writes);
    return true;
}

StartupEffectsDecision runStartupEffectsCheck(const SettingsStore& store)
{
    const EffectSettings effects = loadEffects(store);
    if (!applyEffectsOption(store) || !effects.anySwitchOn()) {
        clearEffects(store);
        return StartupEffectsDecision::Clear;
    }
    return effects.loadEffectsDontShowMsg ? StartupEffectsDecision::Keep : StartupEffectsDecision::Ask;
}

bool applyReuseEffectsAnswer(const SettingsStore& store, bool loadEffects, bool dontShowAgain)
{
    const bool stored = store.writeBool(EffectsSection, "LoadEffectsDontShowMsg", dontShowAgain);
    return loadEffects ? stored : clearEffects(store) && stored;
}

} // namespace morvex
