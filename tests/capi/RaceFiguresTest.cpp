// The race detector's figures through the control API, on the plain driver
// and on the one built for the detector: what the image let it see, no
// finding in an ordinary session, and each marked place readable whole.
#include <cstring>
#include <string>
#include <vector>

#include "CapiSession.h"

namespace tesmo::capi_test {
namespace {

struct ImageCase {
    const char* label;
    const char* path;
    bool instrumented;
};

class RaceFiguresTest : public CapiTest, public ::testing::WithParamInterface<ImageCase> {
protected:
    const char* DriverImage() const override { return GetParam().path; }
};

TEST_P(RaceFiguresTest, SayWhatTheImageLetTheDetectorSee)
{
    PlugCommandInstrument();
    HANDLE port = OpenPort();
    ASSERT_NO_FATAL_FAILURE(Send(port, "*IDN?\n"));
    EXPECT_FALSE(ReadLine(port).empty());
    EXPECT_TRUE(CloseHandle(port));

    tesmo_race_figures figures;
    std::memset(&figures, 0xA5, sizeof figures);
    ASSERT_EQ(R(tesmo_race_figures_get(&figures)), kOk);
    EXPECT_EQ(figures.instrumented_image, GetParam().instrumented ? 1 : 0);
    EXPECT_EQ(figures.findings, 0u);
    EXPECT_EQ(figures.checked > 0, GetParam().instrumented);
    EXPECT_EQ(figures.marked_places > 0, GetParam().instrumented);

    for (std::uint32_t i = 0; i < figures.marked_places; ++i) {
        std::uint32_t length = 0;
        std::uint64_t reads = 0;
        ASSERT_EQ(R(tesmo_race_marked_place(i, nullptr, 0, &length, &reads)), R(TESMO_E_BUFFER_TOO_SMALL));
        std::vector<char> text(length + 2, 'Z');
        ASSERT_EQ(R(tesmo_race_marked_place(i, text.data(), length + 1, nullptr, nullptr)), kOk);
        EXPECT_EQ(text[length + 1], 'Z') << "written past the size given";
        std::string place(text.data());
        EXPECT_EQ(place.size(), length);
        // A file of the driver, its line, and why.
        EXPECT_TRUE(place.rfind("src/", 0) == 0 || place.rfind("include/", 0) == 0) << place;
        EXPECT_NE(place.find(": "), std::string::npos) << place;
        EXPECT_GT(reads, 0u) << place;
    }
    char text[8];
    EXPECT_EQ(R(tesmo_race_marked_place(figures.marked_places, text, sizeof text, nullptr, nullptr)),
              R(TESMO_E_OUT_OF_RANGE));
}

const ImageCase kImages[] = {
    {"plain", TESMO_PLAIN_IMAGE_PATH, false},
#ifdef TESMO_RACE_IMAGE_PATH
    {"instrumented", TESMO_RACE_IMAGE_PATH, true},
#endif
};

INSTANTIATE_TEST_SUITE_P(Images, RaceFiguresTest, ::testing::ValuesIn(kImages),
                         [](const auto& info) { return std::string(info.param.label); });

}  // namespace
}  // namespace tesmo::capi_test
