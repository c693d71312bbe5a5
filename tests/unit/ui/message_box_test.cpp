// The message box under a real X server: while the calling thread waits inside the box, a
// second thread finds the box with xwininfo, reads its hints with xprop and presses OK with
// xdotool, and a toolkit timer that fires inside the box's own event loop reads its resources.

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "i18n/locale.h"
#include "ui/testing.h"
#include "ui_support.h"

using uitest::Capture;
using uitest::Message;
using uitest::SleepMs;
using xtest::TopLevel;

namespace {

// What the toolkit says about the box, read inside its event loop.
struct BoxContents {
  std::string name;  // widget name: "Error" or "Information"
  std::atomic<bool> seen{false};
  std::string text, ok, title;
  int type = -1, style = -1, defaultButton = -1;
  bool okManaged = false, cancelManaged = true, helpManaged = true;
  // The fonts: the tags of the text and of the OK label, the font-set entries (tag empty when
  // none) that the message and the OK button draw with, and whether the toolkit draws the text
  // as Xlib's multibyte call draws its bytes in the message's font set.
  std::vector<std::string> textTags, okTags;
  std::string textFontSetTag, okFontSetTag;
  int missingCharsets = -1;
  bool drawnAsText = false;
};

void Inspect(XtPointer data, XtIntervalId *) {
  BoxContents *c = static_cast<BoxContents *>(data);
  X11Functions *f = LoadX11(JNI_TRUE);
  Widget box = uitest::NameToWidget(GetAppShell(), ("*" + c->name).c_str());
  if (box == nullptr || !f->XtIsManaged(box)) {
    uitest::AddTimeOut(50, Inspect, data);
    return;
  }
  c->text = uitest::StringResource(box, "messageString");
  c->ok = uitest::StringResource(box, "okLabelString");
  c->title = uitest::StringResource(box, "dialogTitle");
  c->type = uitest::ByteResource(box, "dialogType");
  c->style = uitest::ByteResource(box, "dialogStyle");
  c->defaultButton = uitest::ByteResource(box, "defaultButtonType");
  auto managed = [&](unsigned char child) {
    Widget w = f->XmMessageBoxGetChild(box, child);
    return w != nullptr && f->XtIsManaged(w);
  };
  c->okManaged = managed(XmDIALOG_OK_BUTTON);
  c->cancelManaged = managed(XmDIALOG_CANCEL_BUTTON);
  c->helpManaged = managed(XmDIALOG_HELP_BUTTON);
  c->textTags = uitest::SegmentTags(box, "messageString");
  c->okTags = uitest::SegmentTags(box, "okLabelString");
  XmFontList textFonts =
      uitest::FontListOf(f->XmMessageBoxGetChild(box, XmDIALOG_MESSAGE_LABEL));
  uitest::FontSetEntry text = uitest::FindFontSet(textFonts);
  uitest::FontSetEntry ok =
      uitest::FindFontSet(uitest::FontListOf(f->XmMessageBoxGetChild(box, XmDIALOG_OK_BUTTON)));
  c->textFontSetTag = text.tag;
  c->okFontSetTag = ok.tag;
  if (text.fontset != nullptr) {
    c->missingCharsets = uitest::MissingCharsets(text.fontset);
    uitest::Drawings d = uitest::DrawBoth(box, "messageString", textFonts, text.fontset, c->text);
    c->drawnAsText = d.width > 0 && d.InkedColumns() > d.width / 2 && d.toolkit == d.xlib;
  }
  c->seen = true;
}

// One box as the outside saw it.
struct SeenBox {
  TopLevel window;
  std::vector<long> hints;
  bool callReturnedWhileShown = true;
  bool dismissed = false;
};

class MessageBox : public uitest::WindowedUi {
 protected:
  // Calls show() in this thread; meanwhile presses OK on `count` boxes of instance, one after
  // the other, and afterwards makes sure no further box comes up.
  template <typename Show>
  int ShowAndDismiss(const char *instance, int count, Show show, BoxContents *contents) {
    if (contents != nullptr) {
      X11Lock lock;
      uitest::AddTimeOut(50, Inspect, contents);
    }
    std::atomic<bool> returned{false};
    std::thread presser([&] {
      unsigned long previous = 0;
      for (int i = 0; i < count; i++) {
        SeenBox seen;
        if (!xtest::WaitForWindow(server->display(), instance, &seen.window, previous)) break;
        previous = seen.window.id;
        seen.hints = xtest::MotifHints(server->display(), seen.window.id);
        for (int wait = 0; contents != nullptr && !contents->seen && wait < 100; wait++)
          SleepMs(50);
        // The box is up; the call must still be waiting for OK.
        SleepMs(300);
        seen.callReturnedWhileShown = returned;
        seen.dismissed = xtest::PressOk(server->display(), seen.window);
        boxes.push_back(seen);
        if (!seen.dismissed) {
          xtest::ClickAnyButton(server->display(), seen.window);
          break;
        }
      }
    });
    int ret = show();
    returned = true;
    presser.join();
    SleepMs(500);
    EXPECT_TRUE(xtest::ViewableWindows(server->display(), instance).empty())
        << "a box is still shown";
    return ret;
  }

  void ExpectCentredBox(const SeenBox &box, const char *instance) {
    EXPECT_EQ(box.window.instance, instance);
    EXPECT_EQ(box.window.name, "Setup");
    EXPECT_EQ(box.window.x, (server->width() - box.window.width) / 2);
    EXPECT_EQ(box.window.y, (server->height() - box.window.height) / 2);
    EXPECT_FALSE(box.callReturnedWhileShown) << "the call returned before OK was pressed";
    EXPECT_TRUE(box.dismissed) << "OK did not close the box";
    // Moves and closes, no resize, minimise or maximise; modal for the application.
    ASSERT_GE(box.hints.size(), 4u);
    EXPECT_EQ(box.hints[1], 27);
    EXPECT_EQ(box.hints[2], 101);
    EXPECT_EQ(box.hints[3], XmDIALOG_PRIMARY_APPLICATION_MODAL);
  }

  void ExpectOnlyOk(const BoxContents &c) {
    EXPECT_TRUE(c.seen);
    EXPECT_EQ(c.ok, Message("ok"));
    EXPECT_EQ(c.ok, "OK");
    EXPECT_EQ(c.title, "Setup");
    EXPECT_TRUE(c.okManaged);
    EXPECT_FALSE(c.cancelManaged);
    EXPECT_FALSE(c.helpManaged);
    EXPECT_EQ(c.defaultButton, XmDIALOG_OK_BUTTON);
    EXPECT_EQ(c.style, XmDIALOG_PRIMARY_APPLICATION_MODAL);
  }

  std::vector<SeenBox> boxes;
};

TEST_F(MessageBox, ErrorTextWaitsInAModalErrorBoxUntilOkIsPressed) {
  std::string text = Message("no_find_java");
  BoxContents contents;
  contents.name = "Error";
  Capture out(1);
  Capture err(2);
  int ret = ShowAndDismiss("Error_popup", 1, [&] { return _fprintf(stderr, "%s", text.c_str()); },
                           &contents);
  EXPECT_EQ(out.Finish(), "");
  EXPECT_EQ(err.Finish(), "");
  EXPECT_EQ(ret, static_cast<int>(text.size()));
  ASSERT_EQ(boxes.size(), 1u);
  ExpectCentredBox(boxes[0], "Error_popup");
  ExpectOnlyOk(contents);
  EXPECT_EQ(contents.type, XmDIALOG_ERROR);
  EXPECT_EQ(contents.text, text.substr(0, text.size() - 1));
  // A single-byte locale keeps the toolkit's default font and tag.
  EXPECT_EQ(contents.textTags, std::vector<std::string>{"FONTLIST_DEFAULT_TAG_STRING"});
  EXPECT_EQ(contents.okTags, std::vector<std::string>{"FONTLIST_DEFAULT_TAG_STRING"});
  EXPECT_EQ(contents.textFontSetTag, "");
  EXPECT_EQ(contents.okFontSetTag, "");
  // Destroyed, not just hidden.
  EXPECT_NE(xtest::RunWithDisplay(server->display(),
                                  "xwininfo -id " + std::to_string(boxes[0].window.id) +
                                      " 2>/dev/null"),
            0);
}

TEST_F(MessageBox, TextForOtherStreamsShowsAnInformationBox) {
  BoxContents toStdout;
  toStdout.name = "Information";
  ShowAndDismiss("Information_popup", 1,
                 [] { return _fprintf(stdout, "WizardID: %s\n", "corvane-42"); }, &toStdout);
  ASSERT_EQ(boxes.size(), 1u);
  ExpectCentredBox(boxes[0], "Information_popup");
  ExpectOnlyOk(toStdout);
  EXPECT_EQ(toStdout.type, XmDIALOG_INFORMATION);
  EXPECT_EQ(toStdout.text, "WizardID: corvane-42");

  boxes.clear();
  BoxContents printed;
  printed.name = "Information";
  ShowAndDismiss("Information_popup", 1, [] { return _printf("Version %d.%d\n", 1, 4); },
                 &printed);
  ASSERT_EQ(boxes.size(), 1u);
  ExpectCentredBox(boxes[0], "Information_popup");
  EXPECT_EQ(printed.type, XmDIALOG_INFORMATION);
  EXPECT_EQ(printed.text, "Version 1.4");
}

TEST_F(MessageBox, UsageTextShowsAllItsLinesInOneBox) {
  std::string usage = Message("installusage");
  char formatted[4096];
  snprintf(formatted, sizeof formatted, usage.c_str(), "setup", "1.4.1");
  std::string expected = formatted;
  expected.pop_back();
  ASSERT_GT(std::count(expected.begin(), expected.end(), '\n'), 10);
  BoxContents contents;
  contents.name = "Error";
  ShowAndDismiss("Error_popup", 1,
                 [&] { return _fprintf(stderr, usage.c_str(), "setup", "1.4.1"); }, &contents);
  ASSERT_EQ(boxes.size(), 1u) << "the usage text took more than one box";
  ExpectCentredBox(boxes[0], "Error_popup");
  EXPECT_EQ(contents.text, expected);
  EXPECT_GT(boxes[0].window.height, 200);
}

TEST_F(MessageBox, TextWithoutNewlineIsShownJoinedWithTheNextWhateverItsKind) {
  Capture err(2);
  // Nothing to show yet: returns at once with the length of what it formatted.
  EXPECT_EQ(_fprintf(stderr, "Error: '%s' ", "-bogus"), 16);
  SleepMs(300);
  EXPECT_TRUE(xtest::ViewableWindows(server->display(), "Error_popup").empty());
  BoxContents contents;
  contents.name = "Information";
  int ret = ShowAndDismiss("Information_popup", 1,
                           [] { return _printf("is not a valid argument.\n"); }, &contents);
  EXPECT_EQ(ret, 25);
  ASSERT_EQ(boxes.size(), 1u);
  ExpectCentredBox(boxes[0], "Information_popup");
  ExpectOnlyOk(contents);
  EXPECT_EQ(contents.text, "Error: '-bogus' is not a valid argument.");
  EXPECT_EQ(err.Finish(), "");
}

TEST_F(MessageBox, StatusWindowStaysWhileABoxIsOpen) {
  statusf("Checking available disk space...\n");
  TopLevel status;
  ASSERT_TRUE(xtest::WaitForWindow(server->display(), "Status_popup", &status));
  ShowAndDismiss("Error_popup", 1, [&] {
    return _fprintf(stderr, "Error: There is not enough free disk space.\n");
  }, nullptr);
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_TRUE(boxes[0].dismissed);
  std::vector<TopLevel> after = xtest::ViewableWindows(server->display(), "Status_popup");
  ASSERT_EQ(after.size(), 1u);
  EXPECT_EQ(after[0].id, status.id);
}

TEST_F(MessageBox, WithoutTheDispatchThreadEveryKindGoesToStandardError) {
  StopDispatchForTesting();
  Capture out(1);
  Capture err(2);
  _printf("Version %d\n", 1);
  _fprintf(stderr, "Error: %s\n", "broken");
  EXPECT_EQ(out.Finish(), "");
  EXPECT_EQ(err.Finish(), "Version 1\nError: broken\n");
}

// In a multibyte locale the box's text and its OK button are drawn with the locale's font set,
// under LANG=en_US.UTF-8 as well (the toolkit would read default-tagged texts as UTF-8).
class MessageBoxInJapanese : public MessageBox {
 protected:
  void BeforeLoad() override { uitest::UseLocale("ja_JP.eucJP", "en_US.UTF-8"); }
};

TEST_F(MessageBoxInJapanese, TextAndOkAreDrawnWithTheLocalesFontSet) {
  ASSERT_STREQ(GetLocale(), "ja_JP") << "the locale ja_JP.eucJP is missing (scripts/bootstrap)";
  std::string text = Message("checking_java");
  BoxContents contents;
  contents.name = "Error";
  Capture out(1);
  Capture err(2);
  ShowAndDismiss("Error_popup", 1, [&] { return _fprintf(stderr, "%s", text.c_str()); },
                 &contents);
  EXPECT_EQ(out.Finish(), "");
  EXPECT_EQ(err.Finish(), "");
  ASSERT_EQ(boxes.size(), 1u);
  ExpectCentredBox(boxes[0], "Error_popup");
  ExpectOnlyOk(contents);
  EXPECT_EQ(contents.text, text.substr(0, text.size() - 1));
  ASSERT_NE(contents.textFontSetTag, "") << "the text is drawn with a single font";
  EXPECT_EQ(contents.missingCharsets, 0);
  EXPECT_EQ(contents.textTags, std::vector<std::string>{contents.textFontSetTag});
  EXPECT_EQ(contents.okFontSetTag, contents.textFontSetTag);
  EXPECT_EQ(contents.okTags, std::vector<std::string>{contents.okFontSetTag});
  EXPECT_TRUE(contents.drawnAsText) << "the box draws other glyphs than the text's";
}

}  // namespace
