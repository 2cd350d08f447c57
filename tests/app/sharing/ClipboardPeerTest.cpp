#include "tests/app/sharing/SharingTestSupport.hpp"
#include "platform/pasteboard/Pasteboard.hpp"
#include "tests/support/OwnedProcess.hpp"
#include <QBuffer>
#include <QClipboard>
#include <QMimeData>
#include <QByteArray>
#include <QImage>
#include <csignal>
#include <future>
#include <random>

namespace corvane {
namespace {

using boxsim::Agent;
constexpr std::size_t kEightMiB = 8u << 20;

std::string base64(const std::string& bytes) { return QByteArray::fromStdString(bytes).toBase64().toStdString(); }

std::string picture(const char* format, int width = 40, int height = 30, QImage::Format pixels = QImage::Format_RGB32) {
    QImage image(width, height, pixels);
    image.fill(QColor(200, 40, 90));
    QByteArray out;
    QBuffer buffer(&out);
    image.save(&buffer, format);  // opens it for writing
    return out.toStdString();
}

// xclip as the other program on the X display: it owns the clipboard after a copy and reads it back. The
// owners it leaves behind end with the display.
class ClipboardTest : public test::SharingFixture {
protected:
    ClipboardTest() : SharingFixture(true) {}
    // Another program copies `bytes` as `type`; returns once we have seen the change.
    void copyElsewhere(const std::string& bytes, const std::string& type = "UTF8_STRING") {
        const auto file = folder.path() / ("copy" + std::to_string(copies++));
        test::writeFile(file, bytes);
        const auto before = manager->pasteboard().changeCount();
        test::runCommand("xclip -selection clipboard -t '" + type + "' -i '" + file.string() + "' >/dev/null 2>&1");
        ASSERT_TRUE(QTest::qWaitFor([&] { return manager->pasteboard().changeCount() != before; }, 10000));
    }
    // What another program pastes; our event loop keeps answering while it asks.
    std::string pasteElsewhere(const std::string& type = "UTF8_STRING") {
        auto result = std::async(std::launch::async, [type] {
            return test::runCommand("xclip -selection clipboard -o -t '" + type + "'").output;
        });
        EXPECT_TRUE(QTest::qWaitFor([&] { return result.wait_for(std::chrono::seconds(0)) == std::future_status::ready; },
                                    20000));
        return result.get();
    }
    // One clipboard tick (every 0.75 s), run to its end.
    void tick() {
        clock.advance(0.75);
        ASSERT_TRUE(QTest::qWaitFor([&] { return !manager->clipBusy(); }, 30000));
    }
    std::size_t sent() { return requests("POST /v1/user/clipboard"); }
    int copies = 0;
};

TEST_F(ClipboardTest, TextAndPicturesTravelOnceEachWayAndNeverComeBack) {
    copyElsewhere("here before");
    agent.setWindowsClipboardText("Windows before");
    turnOn();
    tick();  // the baseline: nothing moves either way
    EXPECT_EQ(sent(), 0u);
    EXPECT_EQ(pasteElsewhere(), "here before");
    copyElsewhere("hello Windows ✓");
    tick();
    EXPECT_EQ(sent(), 1u);
    EXPECT_EQ(agent.clipboard().text, "hello Windows ✓");
    agent.setWindowsClipboardText("hello desktop");
    tick();
    EXPECT_EQ(pasteElsewhere(), "hello desktop");
    tick();
    tick();
    EXPECT_EQ(sent(), 1u);  // not sent back
    // Off: no polls at all; on again: no new baseline, so a copy made meanwhile goes across.
    const auto polls = requests("GET /v1/user/clipboard");
    settings.shareClipboard = false;
    turnOn();
    copyElsewhere("copied while off");
    tick();
    EXPECT_EQ(requests("GET /v1/user/clipboard"), polls);
    settings.shareClipboard = true;
    turnOn();
    tick();
    EXPECT_EQ(sent(), 2u);
    EXPECT_EQ(agent.clipboard().text, "copied while off");
    // Odd Windows items leave the clipboard alone, yet each moves the mark the next poll asks from.
    std::string since;
    for (const auto& item : std::vector<Agent::Clipboard>{
             {0, "html", "<b>x</b>", ""}, {0, "png", "", "not base64 at all!"}, {0, "text", "", ""}}) {
        since = "since=" + std::to_string(agent.setWindowsClipboard(item));
        tick();
        EXPECT_EQ(pasteElsewhere(), "copied while off") << item.type;
    }
    tick();
    EXPECT_NE(agent.seen("GET /v1/user/clipboard").back().target.find(since), std::string::npos) << since;
    // A copy made here while the poll is out wins over what Windows had then; no second step starts meanwhile.
    agent.setWindowsClipboardText("late from Windows");
    const auto late = R"({"seq":)" + std::to_string(agent.clipboard().seq) + R"(,"type":"text","text":"late from Windows"})";
    agent.script("GET /v1/user/clipboard", Agent::Reply{200, late, "application/json", 1.0});
    const auto asked = requests("GET /v1/user/clipboard") + 1;
    clock.advance(0.75);
    ASSERT_TRUE(QTest::qWaitFor([&] { return requests("GET /v1/user/clipboard") == asked; }, 10000));
    clock.advance(0.75);
    copyElsewhere("copied meanwhile");
    ASSERT_TRUE(QTest::qWaitFor([&] { return !manager->clipBusy(); }, 10000));
    EXPECT_EQ(requests("GET /v1/user/clipboard"), asked);
    EXPECT_EQ(pasteElsewhere(), "copied meanwhile");
    tick();
    EXPECT_EQ(agent.clipboard().text, "copied meanwhile");
    // Pictures travel as PNG.
    const auto png = picture("PNG");
    copyElsewhere(png, "image/png");
    tick();
    ASSERT_EQ(sent(), 4u);
    EXPECT_EQ(agent.clipboard().pngBase64, base64(png));
    copyElsewhere(picture("BMP", 17, 9), "image/bmp");
    tick();
    ASSERT_EQ(sent(), 5u);
    const auto decoded = QByteArray::fromBase64(QByteArray::fromStdString(agent.clipboard().pngBase64));
    EXPECT_TRUE(decoded.startsWith("\x89PNG"));
    EXPECT_EQ(QImage::fromData(decoded).size(), QSize(17, 9));
    const auto windowsPNG = picture("PNG", 23, 11);
    agent.setWindowsClipboard({0, "png", "", base64(windowsPNG)});
    tick();
    EXPECT_EQ(pasteElsewhere("image/png"), windowsPNG);  // byte for byte
    // The same picture offered again as a new item is not decoded again.
    const auto ours = [] { return QGuiApplication::clipboard()->mimeData()->imageData().value<QImage>(); };
    ASSERT_EQ(ours().size(), QSize(23, 11));
    const auto once = ours().cacheKey();
    agent.setWindowsClipboard({0, "png", "", base64(windowsPNG)});
    tick();
    EXPECT_EQ(ours().cacheKey(), once);
    // Decoded under a pixel limit: at it a picture decodes, one pixel over it does not.
    for (const auto& [limit, decodes] : {std::pair{254, true}, {253, true}, {252, false}})
        EXPECT_EQ(platform::Pasteboard::decodedPNG(QByteArray::fromStdString(windowsPNG), limit).image.isNull(), !decodes) << limit;
    tick();
    EXPECT_EQ(sent(), 5u);
}

// A box that ignores "since" hands back its newest item on every poll. What the clipboard here holds
// already, because we put it there or sent it from there, is not written again: a large text would cost the
// main thread a copy every 0.75 s, and the program that owns a copy made here would lose it.
TEST_F(ClipboardTest, ABoxThatIgnoresSinceSetsTheClipboardOnce) {
    agent.setClipboardIgnoresSince(true);
    turnOn();
    tick();  // the baseline
    const auto changes = [&] { return manager->pasteboard().changeCount(); };
    const std::string text = "from Windows " + std::string(1 << 20, 'w');
    agent.setWindowsClipboardText(text);
    auto before = changes();
    for (int i = 0; i < 4; ++i) tick();
    EXPECT_EQ(changes(), before + 1);
    EXPECT_EQ(pasteElsewhere(), text);
    const auto windowsPNG = picture("PNG", 23, 11);
    agent.setWindowsClipboard({0, "png", "", base64(windowsPNG)});
    before = changes();
    for (int i = 0; i < 4; ++i) tick();
    EXPECT_EQ(changes(), before + 1);
    EXPECT_EQ(pasteElsewhere("image/png"), windowsPNG);
    // Copied here and sent: the box hands it back, and the copy stays the other program's.
    copyElsewhere("copied here");
    before = changes();
    tick();
    tick();
    EXPECT_EQ(sent(), 1u);
    EXPECT_EQ(agent.clipboard().text, "copied here");
    EXPECT_EQ(changes(), before);
    // The same text again from Windows, once this computer holds another: written.
    agent.setWindowsClipboardText(text);
    tick();
    EXPECT_EQ(changes(), before + 1);
    EXPECT_EQ(pasteElsewhere(), text);
    EXPECT_EQ(sent(), 1u);  // nor sent back
}

// A Windows item larger than the client takes is passed over once, known by its number, and stops nothing:
// copies made here still go, and the next Windows item still comes.
TEST_F(ClipboardTest, AWindowsItemTooLargeToTakeIsPassedOverOnce) {
    copyElsewhere("here before");
    Agent::Clipboard large;
    large.type = "text";
    large.longTextBytes = AgentClient::kMaxClipboardReplyBytes + 1;  // "seq" comes after all of it
    const auto first = agent.setWindowsClipboard(large);
    turnOn();
    tick();  // the baseline
    tick();
    EXPECT_NE(agent.seen("GET /v1/user/clipboard").back().target.find("since=" + std::to_string(first)), std::string::npos);
    copyElsewhere("copied after it");
    tick();
    EXPECT_EQ(sent(), 1u);
    EXPECT_EQ(agent.clipboard().text, "copied after it");
    // One arriving while sharing is on leaves this computer's clipboard as it is.
    const auto changes = manager->pasteboard().changeCount();
    const auto second = agent.setWindowsClipboard(large);
    tick();
    tick();
    EXPECT_NE(agent.seen("GET /v1/user/clipboard").back().target.find("since=" + std::to_string(second)), std::string::npos);
    EXPECT_EQ(manager->pasteboard().changeCount(), changes);
    EXPECT_EQ(pasteElsewhere(), "copied after it");
    agent.setWindowsClipboardText("small again");
    tick();
    EXPECT_EQ(pasteElsewhere(), "small again");
    const auto log = logTail();
    const std::string line = "clipboard from Windows: left out an item larger than 134217728 bytes";
    EXPECT_NE(log.find(line), log.rfind(line));  // once for each of the two
    EXPECT_EQ(log.find(line, log.find(line) + 1), log.rfind(line));
}

// Only what decodes as a picture within the limit is offered as one; what is left out is logged with why,
// and the mark still moves past it.
TEST_F(ClipboardTest, WindowsPicturesAreTakenUpToTheLimitAndWhatIsLeftOutSaysWhy) {
    turnOn();
    tick();
    copyElsewhere("mine");
    tick();
    ASSERT_EQ(sent(), 1u);
    std::mt19937 random(41);
    std::string noise(1u << 20, '\0');
    for (auto& byte : noise) byte = static_cast<char>(random());
    // A PNG header that claims a size at `bits` a channel (RGBA) and ends early, in its first data chunk.
    const auto be = [](std::uint32_t n) { return std::string{char(n >> 24), char(n >> 16), char(n >> 8), char(n)}; };
    const auto crc = [](const std::string& bytes) {
        std::uint32_t c = 0xFFFFFFFFu;
        for (const unsigned char b : bytes) {
            c ^= b;
            for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1u)));
        }
        return ~c;
    };
    const auto claims = [&](std::uint32_t width, std::uint32_t height, char bits) {
        const std::string header = std::string("IHDR") + be(width) + be(height) + bits + std::string("\x06\0\0\0", 4);
        return std::string("\x89PNG\r\n\x1a\n", 8) + be(13) + header + be(crc(header)) + be(100000) + "IDAT" +
               std::string(33, 'x');
    };
    const auto doesNotDecode = [](std::size_t bytes) { return "a picture of " + std::to_string(bytes) + " bytes that does not decode"; };
    const auto tooLarge = [](const char* size) { return std::string("a picture of ") + size + " pixels, larger than 64 megapixels at 8 bits a channel"; };
    // 8192 x 8192 is the most taken; one row more is left out. Left out by its header, the picture over the
    // limit is one bit a pixel to keep this test small.
    const auto atTheLimit = picture("PNG", 8192, 8192);
    const struct { std::string bytes; std::string leftOut; } rows[] = {
        {noise, doesNotDecode(noise.size())},
        {claims(8192, 8192, 8), doesNotDecode(74)},  // within the limit, cut short: a part is no picture
        {claims(60000, 60000, 8), tooLarge("60000 x 60000")},
        {claims(8192, 4097, 16), tooLarge("8192 x 4097")},  // twice the room a pixel
        {picture("PNG", 8192, 8193, QImage::Format_Mono), tooLarge("8192 x 8193")},
        {atTheLimit, ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.leftOut);
        const auto changes = manager->pasteboard().changeCount();
        const auto seq = agent.setWindowsClipboard({0, "png", "", base64(row.bytes)});
        tick();
        tick();
        EXPECT_NE(agent.seen("GET /v1/user/clipboard").back().target.find("since=" + std::to_string(seq)), std::string::npos);
        if (!row.leftOut.empty()) {
            EXPECT_EQ(manager->pasteboard().changeCount(), changes);
            EXPECT_EQ(pasteElsewhere(), "mine");
            EXPECT_NE(logTail().find("clipboard from Windows: left out " + row.leftOut), std::string::npos);
        }
    }
    EXPECT_TRUE(pasteElsewhere("image/png") == atTheLimit);  // byte for byte (too long to print)
    EXPECT_EQ(QGuiApplication::clipboard()->mimeData()->imageData().value<QImage>().size(), QSize(8192, 8192));
}

TEST_F(ClipboardTest, ConcealedItemsCopiedFilesOversizedItemsAndSilentOwnersStayHere) {
    turnOn();
    tick();
    // A password manager: text plus the hint, owned by a GTK program.
    const auto script = folder.path() / "conceal.py";
    test::writeFile(script, R"(
import gi
gi.require_version('Gtk', '3.0')
from gi.repository import Gtk, Gdk
w, clip = Gtk.Invisible(), Gdk.Atom.intern('CLIPBOARD', False)
Gtk.selection_add_targets(w, clip, [Gtk.TargetEntry.new(t, 0, 0) for t in ('UTF8_STRING', 'x-kde-passwordManagerHint')])
w.connect('selection-get', lambda w, data, info, time: data.set(data.get_target(), 8, b'secret'))
Gtk.selection_owner_set(w, clip, Gdk.CURRENT_TIME); Gtk.main()
)");
    const auto before = manager->pasteboard().changeCount();
    test::OwnedProcess concealing("/usr/bin/python3 '" + script.string() + "' >/dev/null 2>&1");
    ASSERT_TRUE(QTest::qWaitFor([&] { return manager->pasteboard().changeCount() != before; }, 15000));
    tick();
    EXPECT_EQ(sent(), 0u);
    for (const auto& [bytes, type] : std::vector<std::pair<std::string, std::string>>{
             {"file:///etc/hostname\n", "text/uri-list"}, {std::string(kEightMiB + 1, 't'), "UTF8_STRING"},
             {std::string((32u << 20) + 1, 'p'), "image/png"}}) {
        copyElsewhere(bytes, type);
        tick();
        EXPECT_EQ(sent(), 0u) << type;
    }
    // An owner that never answers: nothing goes, and the next copy does.
    test::writeFile(folder.path() / "stuck", "never delivered");
    const auto stuck = manager->pasteboard().changeCount();
    test::OwnedProcess owner("xclip -quiet -selection clipboard -i '" + (folder.path() / "stuck").string() + "' >/dev/null 2>&1");
    ASSERT_TRUE(QTest::qWaitFor([&] { return manager->pasteboard().changeCount() != stuck; }, 10000));
    ASSERT_TRUE(owner.signal(SIGSTOP));
    tick();
    EXPECT_EQ(sent(), 0u);
    owner.signal(SIGKILL);
    owner.stop();
    copyElsewhere(std::string(kEightMiB, 't'));
    // The dead owner's leaving is a change of its own; wait until the new copy is what we see.
    ASSERT_TRUE(QTest::qWaitFor([&] { return manager->pasteboard().string(kEightMiB).has_value(); }, 10000));
    tick();
    EXPECT_EQ(sent(), 1u);
    EXPECT_EQ(agent.clipboard().text.size(), kEightMiB);
}

} // namespace
} // namespace corvane
