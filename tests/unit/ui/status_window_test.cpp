// The status window under a real X server, seen from outside (xwininfo, xprop) and through the
// toolkit: size, title, centring, replacing and joining texts, the share of a long piece of work
// under the line, hiding and making anew, and the console when the interface stops taking
// calls; and the fonts its text is drawn with in a multibyte locale, in single-byte ones, and on
// a server without fonts for the locale.
#include <dlfcn.h>
#include <string.h>

#include <string>
#include <vector>

#include "i18n/locale.h"
#include "ui/progress.h"
#include "ui/testing.h"
#include "ui_support.h"

using uitest::Capture;
using uitest::Message;
using uitest::SleepMs;
using xtest::TopLevel;

namespace {

const char kLine[] = "Checking available disk space...\n";
const char kDefaultTag[] = "FONTLIST_DEFAULT_TAG_STRING";

class StatusWindow : public uitest::WindowedUi {
 protected:
  std::string Text() {
    X11Lock lock;
    if (!lock || GetStatusDialog() == nullptr) return "<no window>";
    return uitest::StringResource(GetStatusDialog(), "messageString");
  }
  // Waits until the status window shows text; gives its geometry.
  TopLevel WaitForText(const std::string &text, unsigned long except = 0) {
    TopLevel w;
    EXPECT_TRUE(xtest::WaitForWindow(server->display(), "Status_popup", &w, except));
    for (int i = 0; i < 100 && Text() != text; i++) SleepMs(50);
    EXPECT_EQ(Text(), text);
    // Give the server the move that follows a resize, then read the final geometry.
    SleepMs(300);
    std::vector<TopLevel> now = xtest::ViewableWindows(server->display(), "Status_popup");
    EXPECT_EQ(now.size(), 1u);
    return now.empty() ? w : now[0];
  }
  void ExpectCentred(const TopLevel &w) {
    EXPECT_EQ(w.x, w.width < server->width() ? (server->width() - w.width) / 2 : 0);
    EXPECT_EQ(w.y, w.height < server->height() ? (server->height() - w.height) / 2 : 0);
  }
  // As before there were font sets: the toolkit's default font and tag.
  void ExpectTheDefaultFont() {
    X11Lock lock;
    ASSERT_TRUE(lock);
    EXPECT_EQ(GetLocaleFontList(), nullptr);
    Widget label = funcs->XmMessageBoxGetChild(GetStatusDialog(), XmDIALOG_MESSAGE_LABEL);
    ASSERT_NE(label, nullptr);
    EXPECT_EQ(uitest::FindFontSet(uitest::FontListOf(label)).fontset, nullptr)
        << "a single-byte text is drawn with a font set";
    EXPECT_EQ(uitest::SegmentTags(GetStatusDialog(), "messageString"),
              std::vector<std::string>{kDefaultTag});
  }
};

TEST_F(StatusWindow, FirstLineShowsACentredUndecoratedWindowTitledWithTheProduct) {
  Capture out(1);
  EXPECT_EQ(statusf("%s", kLine), static_cast<int>(strlen(kLine)));
  TopLevel w = WaitForText("Checking available disk space...");
  EXPECT_EQ(w.name, "Setup");
  EXPECT_EQ(w.cls, "Setup");
  EXPECT_EQ(w.width, 400);
  EXPECT_EQ(w.height, 100);
  EXPECT_EQ(w.x, (1024 - 400) / 2);
  EXPECT_EQ(w.y, (768 - 100) / 2);
  ExpectTheDefaultFont();
  // No window-manager decorations or functions, modeless.
  std::vector<long> hints = xtest::MotifHints(server->display(), w.id);
  ASSERT_GE(hints.size(), 4u);
  EXPECT_EQ(hints[1], 0);
  EXPECT_EQ(hints[2], 0);
  EXPECT_EQ(hints[3], 0);
  {
    // Only the text: no buttons, the separator unmanaged.
    X11Lock lock;
    ASSERT_TRUE(lock);
    Widget dialog = GetStatusDialog();
    EXPECT_EQ(funcs->XmMessageBoxGetChild(dialog, XmDIALOG_OK_BUTTON), nullptr);
    EXPECT_EQ(funcs->XmMessageBoxGetChild(dialog, XmDIALOG_CANCEL_BUTTON), nullptr);
    Widget separator = funcs->XmMessageBoxGetChild(dialog, XmDIALOG_SEPARATOR);
    ASSERT_NE(separator, nullptr);
    EXPECT_FALSE(funcs->XtIsManaged(separator));
    EXPECT_EQ(uitest::ByteResource(dialog, "messageAlignment"), XmALIGNMENT_CENTER);
  }
  EXPECT_EQ(out.Finish(), "");
}

TEST_F(StatusWindow, EachLineReplacesTheTextAndRecentresAsTheWindowGrows) {
  statusf("%s", kLine);
  TopLevel first = WaitForText("Checking available disk space...");

  std::string wide = "Extracting installation files";
  while (wide.size() < 150) wide += " and more installation files";
  statusf("%s\n", wide.c_str());
  TopLevel grown = WaitForText(wide);
  EXPECT_EQ(grown.id, first.id) << "the same window shows the new text";
  EXPECT_GT(grown.width, 400);
  ExpectCentred(grown);

  // It grows, never shrinks.
  statusf("Done\n");
  TopLevel after = WaitForText("Done");
  EXPECT_EQ(after.width, grown.width);
  ExpectCentred(after);
}

TEST_F(StatusWindow, TextWithoutNewlineIsShownJoinedWithTheNextOnce) {
  Capture out(1);
  EXPECT_EQ(statusf("Extracting %s", "Java(TM)"), 0);
  SleepMs(400);
  EXPECT_TRUE(xtest::ViewableWindows(server->display(), "Status_popup").empty())
      << "a text without its newline was shown";
  EXPECT_EQ(statusf(" files...%c", '\n'), 10);
  WaitForText("Extracting Java(TM) files...");
  statusf("Deleting temporary files...\n");
  WaitForText("Deleting temporary files...");
  EXPECT_EQ(out.Finish(), "");
}

TEST_F(StatusWindow, HideRemovesTheWindowAndALaterLineMakesANewOne) {
  HideStatusWindow();
  EXPECT_EQ(GetStatusDialog(), nullptr);

  statusf("%s", kLine);
  TopLevel first = WaitForText("Checking available disk space...");
  HideStatusWindow();
  EXPECT_EQ(GetStatusDialog(), nullptr);
  EXPECT_TRUE(xtest::WaitForWindowGone(server->display(), first.id));
  EXPECT_NE(xtest::RunWithDisplay(server->display(),
                                  "xwininfo -id " + std::to_string(first.id) + " 2>/dev/null"),
            0)
      << "the window was hidden but not destroyed";

  statusf("Extracting installation files...\n");
  TopLevel second = WaitForText("Extracting installation files...", first.id);
  EXPECT_NE(second.id, first.id);
  EXPECT_EQ(second.width, 400);
  ExpectCentred(second);
}

TEST_F(StatusWindow, LongTextWithPercentSignsIsShownWholeAndExactly) {
  std::string text;
  while (text.size() < 3000) text += "100% of %s and %d done; ";
  text.resize(3000);
  EXPECT_EQ(statusf("%s\n", text.c_str()), 3001);
  WaitForText(text);
}

long long progressClockMs = 0;
long long ProgressClock() { return progressClockMs; }

TEST_F(StatusWindow, ProgressShowsTheShareUnderTheLineAtMostFiveTimesASecond) {
  Capture out(1);
  SetProgressClockForTesting(ProgressClock);
  statusf("Extracting installation files...\n");
  WaitForText("Extracting installation files...");
  ASSERT_TRUE(BeginProgress(1000));
  progressClockMs = 1000;
  ShowProgress(420);
  EXPECT_EQ(Text(), "Extracting installation files...\n42%");
  progressClockMs = 1199;
  ShowProgress(500);
  EXPECT_EQ(Text(), "Extracting installation files...\n42%") << "more than five a second";
  progressClockMs = 1200;
  ShowProgress(500);
  TopLevel w = WaitForText("Extracting installation files...\n50%");
  EXPECT_EQ(w.width, 400);
  ExpectCentred(w);
  EndProgress();
  WaitForText("Extracting installation files...");
  SetProgressClockForTesting(nullptr);
  EXPECT_EQ(out.Finish(), "");
}

class StatusWindowOnANarrowScreen : public StatusWindow {
 protected:
  int ScreenWidth() const override { return 320; }
  int ScreenHeight() const override { return 240; }
};

TEST_F(StatusWindowOnANarrowScreen, WindowStartsAtTheLeftEdge) {
  statusf("%s", kLine);
  TopLevel w = WaitForText("Checking available disk space...");
  EXPECT_EQ(w.width, 400);
  EXPECT_EQ(w.x, 0);
  EXPECT_EQ(w.y, (240 - 100) / 2);
}

TEST_F(StatusWindow, WithoutTheDispatchThreadTextsGoToStandardOutputPendingPartIncluded) {
  Capture out(1);
  EXPECT_EQ(statusf("Checking "), 0);
  StopDispatchForTesting();
  statusf("Java(TM)...\n");
  EXPECT_EQ(out.Finish(), "Checking Java(TM)...\n");
}

// In a multibyte locale the text must come out as its own glyphs: drawn with a font set of the
// process locale that has fonts for every character set of the locale, and drawn by the toolkit
// exactly as Xlib's multibyte call draws the text's bytes in that font set.
class StatusWindowInJapanese : public StatusWindow {
 protected:
  void BeforeLoad() override { uitest::UseLocale(nullptr, "ja_JP.eucJP"); }

  void ExpectTheGlyphsOfTheText(const char *key) {
    ASSERT_STREQ(GetLocale(), "ja_JP") << "the locale ja_JP.eucJP is missing (scripts/bootstrap)";
    std::string text = Message(key);
    ASSERT_GT(text.size(), 1u);
    statusf("%s", text.c_str());
    text.pop_back();
    TopLevel w = WaitForText(text);
    EXPECT_EQ(w.name, "Setup");
    EXPECT_EQ(w.width, 400);
    EXPECT_EQ(w.height, 100);
    ExpectCentred(w);

    X11Lock lock;
    ASSERT_TRUE(lock);
    Widget dialog = GetStatusDialog();
    Widget label = funcs->XmMessageBoxGetChild(dialog, XmDIALOG_MESSAGE_LABEL);
    ASSERT_NE(label, nullptr);
    XmFontList fonts = uitest::FontListOf(label);
    uitest::FontSetEntry entry = uitest::FindFontSet(fonts);
    ASSERT_NE(entry.fontset, nullptr) << "the text is drawn with a single font";
    auto localeOf = reinterpret_cast<char *(*)(XFontSet)>(dlsym(RTLD_DEFAULT, "XLocaleOfFontSet"));
    ASSERT_NE(localeOf, nullptr);
    EXPECT_STREQ(localeOf(entry.fontset), "ja_JP.eucJP");
    EXPECT_EQ(uitest::MissingCharsets(entry.fontset), 0)
        << "the font set lacks fonts for some of the locale's character sets";
    // The toolkit picks a text's font by its tag.
    EXPECT_EQ(uitest::SegmentTags(dialog, "messageString"), std::vector<std::string>{entry.tag});
    uitest::Drawings d = uitest::DrawBoth(dialog, "messageString", fonts, entry.fontset, text);
    ASSERT_GT(d.width, 0);
    EXPECT_GT(d.InkedColumns(), d.width / 2) << "the text's own drawing is nearly empty";
    EXPECT_TRUE(d.toolkit == d.xlib) << "the window draws other glyphs than the text's";
  }
};

TEST_F(StatusWindowInJapanese, KanaAndKanjiAreDrawnAsTheTextWithAFontSetForTheLocale) {
  ExpectTheGlyphsOfTheText("checking_disk_space");
}

// Motif reads the character set of its default-tagged texts from LANG; here LANG says UTF-8
// while the process runs in EUC-JP.
class StatusWindowInJapaneseUnderAUtf8Lang : public StatusWindowInJapanese {
 protected:
  void BeforeLoad() override { uitest::UseLocale("ja_JP.eucJP", "en_US.UTF-8"); }
};

TEST_F(StatusWindowInJapaneseUnderAUtf8Lang, MixedLatinAndKanjiAreDrawnAsTheText) {
  ExpectTheGlyphsOfTheText("checking_java");
}

// An X server with no fonts but its two built-in ones: no font set covers the locale.
class StatusWindowInJapaneseWithoutJapaneseFonts : public StatusWindow {
 protected:
  void BeforeLoad() override { uitest::UseLocale(nullptr, "ja_JP.eucJP"); }
  std::string FontPath() const override { return "built-ins"; }
};

TEST_F(StatusWindowInJapaneseWithoutJapaneseFonts, KeepsTheDefaultFontAndSaysNothing) {
  ASSERT_STREQ(GetLocale(), "ja_JP");
  Capture out(1);
  Capture err(2);
  std::string text = Message("checking_disk_space");
  statusf("%s", text.c_str());
  text.pop_back();
  TopLevel w = WaitForText(text);
  EXPECT_EQ(w.width, 400);
  EXPECT_EQ(w.height, 100);
  ExpectTheDefaultFont();
  EXPECT_FALSE(GetPrintToConsole());
  EXPECT_EQ(out.Finish(), "");
  EXPECT_EQ(err.Finish(), "");
}

// A single-byte locale, on a server that has the Japanese fonts: nothing changes.
class StatusWindowInSpanish : public StatusWindow {
 protected:
  void BeforeLoad() override { uitest::UseLocale("es_ES", "en_US.UTF-8"); }
};

TEST_F(StatusWindowInSpanish, KeepsTheDefaultFont) {
  ASSERT_STREQ(GetLocale(), "es_ES") << "the locale es_ES is missing (scripts/bootstrap)";
  statusf("%s", Message("unzipping_files").c_str());
  // Latin-1, as the catalog converted it.
  TopLevel w = WaitForText("Extraendo archivos de instalaci\xf3n...");
  EXPECT_EQ(w.width, 400);
  EXPECT_EQ(w.height, 100);
  ExpectCentred(w);
  ExpectTheDefaultFont();
}

}  // namespace
