#include "ui_test_support.h"

#include "app/program_starts.h"

#include <thread>

namespace morvex::testing {
namespace {

using ui::MainWindow;

std::vector<std::string> titlesOf(const DialogWatcher& watcher)
{
    std::vector<std::string> titles;
    for (const DialogWatcher::Seen& box : watcher.messageBoxes())
        titles.push_back(box.title);
    return titles;
}

// One start of the window: what it showed, in order.
std::vector<std::string> startWindow(const SettingsStore& store, DialogWatcher& watcher)
{
    MainWindow window{SettingsStore(store)};
    window.show();
    window.runStartupChecks();
    return titlesOf(watcher);
}

TEST(Startup, TheFirstThreeStartsShowTheTipBeforeTheEffectsQuestionAndEveryStartIsCounted)
{
    TempDir temp;
    const SettingsStore store(temp / "config" / "Morvex.ini");
    // Effects that survive a restart: every start asks about them, after
    // the tip where there is one.
    store.writeBool("Options", "ApplyEffects", true);
    store.writeBool("Effects", "RecalculateNormals", true);
    for (int start = 1; start <= 5; ++start) {
        SCOPED_TRACE(start);
        DialogWatcher watcher;
        watcher.answer("OK");
        watcher.answer("Yes, load effects");
        if (start > FirstRunTipStarts)
            watcher.answers.pop_front();
        const std::vector<std::string> titles = startWindow(store, watcher);
        if (start <= FirstRunTipStarts) {
            EXPECT_EQ(titles, (std::vector<std::string>{"Getting Started", "Reuse Effects"}));
            const DialogWatcher::Seen tip = watcher.messageBoxes().front();
            EXPECT_EQ(tip.text, "Convert model files in three steps:");
            EXPECT_NE(tip.detail.find("\"Add File(s)\""), std::string::npos);
            EXPECT_NE(tip.detail.find("\"Convert\""), std::string::npos);
            EXPECT_EQ(tip.buttons, std::vector<std::string>{"OK"});
        } else {
            EXPECT_EQ(titles, std::vector<std::string>{"Reuse Effects"});
        }
        EXPECT_EQ(store.readText("Settings", "Runs"), std::to_string(start));
        EXPECT_TRUE(store.readBool("Effects", "RecalculateNormals", false)) << "the answer kept them";
    }

    // A count that is no count starts again; one at the top stays there.
    struct Case {
        const char* stored;
        const char* after;
        bool tip;
    };
    for (const Case& test : {Case{"-7", "1", true}, Case{"abc", "1", true}, Case{"3", "4", false},
                             Case{"2147483647", "2147483647", false}}) {
        SCOPED_TRACE(test.stored);
        store.writeText("Settings", "Runs", test.stored);
        DialogWatcher watcher;
        const std::vector<std::string> titles = startWindow(store, watcher);
        EXPECT_EQ(!titles.empty() && titles.front() == "Getting Started", test.tip);
        EXPECT_EQ(store.readText("Settings", "Runs"), test.after);
    }

    // A settings file that cannot be written: each start counts as the
    // first and shows the tip, and nothing fails.
    std::filesystem::create_directories(temp / "unwritable" / "Morvex.ini");
    DialogWatcher watcher;
    EXPECT_EQ(startWindow(SettingsStore(temp / "unwritable" / "Morvex.ini"), watcher),
              std::vector<std::string>{"Getting Started"});
}

TEST(Startup, StartsAtTheSameMomentAreAllCounted)
{
    TempDir temp;
    const SettingsStore store(temp / "Morvex.ini");
    constexpr int Threads = 4;
    constexpr int StartsEach = 25;
    std::vector<std::thread> starting;
    for (int thread = 0; thread < Threads; ++thread)
        starting.emplace_back([&store] {
            for (int start = 0; start < StartsEach; ++start)
                recordProgramStart(store);
        });
    for (std::thread& thread : starting)
        thread.join();
    EXPECT_EQ(store.readInt("Settings", "Runs", 0), Threads * StartsEach);
}

} // namespace
} // namespace morvex::testing
