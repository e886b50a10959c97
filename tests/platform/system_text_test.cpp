// The system's texts as the engine hands them to Java: UTF-8, terminated, never cut inside a
// character.
#include "system_text.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace brimvox {
namespace {

std::string copied(const std::string& src, size_t size) {
    std::string out(size, '#');
    copyUtf8(src.data(), src.size(), &out[0], size);
    EXPECT_LT(std::strlen(out.c_str()), size) << "not terminated within the buffer";
    return out.c_str();
}

// True when text is whole UTF-8: every lead byte followed by all of its continuation bytes.
bool wholeUtf8(const std::string& text) {
    for (size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const size_t length = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
        if (i + length > text.size()) return false;
        for (size_t k = 1; k < length; ++k) {
            if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return false;
        }
        i += length;
    }
    return true;
}

TEST(CopyUtf8, CutsOnlyBetweenCharacters) {
    const std::string text = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x8E\xB5z";  // a, é, €, a note, z
    EXPECT_EQ(text, copied(text, text.size() + 1));
    EXPECT_EQ(text.substr(0, 10), copied(text, text.size()));  // the z does not fit
    // Every capacity ends the copy at the last whole character that fits.
    const size_t boundaries[] = {0, 1, 3, 6, 10, 11};
    for (size_t size = 1; size <= text.size() + 1; ++size) {
        size_t expected = 0;
        for (size_t b : boundaries) {
            if (b <= size - 1) expected = b;
        }
        EXPECT_EQ(text.substr(0, expected), copied(text, size)) << size;
    }
    EXPECT_EQ("", copied("", 1));
    EXPECT_EQ("", copied("abc", 1));
}

// The device texts come whole or cut at a character boundary, whatever the buffer, for the
// results the engine reports and for codes the system does not know.
TEST(DeviceErrorText, TerminatedAndWholeAtEverySize) {
    const DeviceResult results[] = {DeviceResult::Failed,       DeviceResult::BadDeviceId,
                                    DeviceResult::InUse,        DeviceResult::NoDriver,
                                    DeviceResult::NoMemory,     DeviceResult::BadFormat,
                                    DeviceResult::StillPlaying, static_cast<DeviceResult>(12345)};
    for (Direction direction : {Direction::Capture, Direction::Playback}) {
        for (DeviceResult result : results) {
            const auto code = static_cast<unsigned>(result);
            char full[512];
            deviceErrorText(direction, result, full, sizeof full);
            const std::string whole = full;
            EXPECT_TRUE(wholeUtf8(whole)) << code;
            if (code != 12345) {
                EXPECT_FALSE(whole.empty()) << code;
            }
            for (size_t size = 1; size <= whole.size() + 1; ++size) {
                std::string out(size + 1, '#');
                deviceErrorText(direction, result, &out[0], size);
                EXPECT_EQ('#', out[size]) << "wrote past the buffer, code " << code;
                const std::string cut = out.c_str();
                ASSERT_LT(cut.size(), size);
                EXPECT_EQ(whole.substr(0, cut.size()), cut) << code;
                EXPECT_TRUE(wholeUtf8(cut)) << code << " size " << size;
            }
        }
    }
}

}  // namespace
}  // namespace brimvox
