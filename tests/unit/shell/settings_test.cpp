// The settings file's rules: what a stored threshold and detect_shadow
// become when the program starts.
#include <gtest/gtest.h>

#include <cstdint>

#include "shell/report.h"
#include "shell/report_memory.h"
#include "tests/support/test_support.h"

namespace {

struct StoredCase {
    uint32_t threshold;
    uint32_t detectShadow;
    int32_t expectedThreshold;
    int32_t expectedDetectShadow;
};

class StoredSettings : public ::testing::TestWithParam<StoredCase> {
protected:
    void SetUp() override { ResetProgramState(); }
};

TEST_P(StoredSettings, OutOfRangeValuesFallBackToTheDefaults)
{
    StoredCase stored = GetParam();
    gMemoryDialog.storedPresent = 1;
    gMemoryDialog.storedThreshold = stored.threshold;
    gMemoryDialog.storedDetectShadow = stored.detectShadow;
    ReadSettings();
    EXPECT_EQ(gSettings.threshold, stored.expectedThreshold);
    EXPECT_EQ(gSettings.detectShadow, stored.expectedDetectShadow);
}

// A profile integer of -1 arrives as 0xFFFFFFFF: above 255 as unsigned.
INSTANTIATE_TEST_SUITE_P(Values, StoredSettings,
                         ::testing::Values(StoredCase{300, 1, 160, 1}, StoredCase{256, 1, 160, 1},
                                           StoredCase{255, 1, 255, 1}, StoredCase{0, 0, 0, 0},
                                           StoredCase{0xFFFFFFFFu, 5, 160, 1},
                                           StoredCase{40, 0xFFFFFFFFu, 40, 1}, StoredCase{160, 2, 160, 1}));

TEST(NoSettingsFile, StartsAt160WithTheBoxTicked)
{
    ResetProgramState();
    ReadSettings();
    EXPECT_EQ(gSettings.threshold, 160);
    EXPECT_EQ(gSettings.detectShadow, 1);
}

}  // namespace
