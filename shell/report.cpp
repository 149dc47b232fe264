#include "shell/report.h"

Settings gSettings;

void ApplyStoredSettings(uint32_t storedThreshold, uint32_t storedDetectShadow)
{
    gSettings.threshold = storedThreshold >= kThresholdLimit ? kDefaultThreshold : static_cast<int32_t>(storedThreshold);
    gSettings.detectShadow = storedDetectShadow == 0 || storedDetectShadow == 1 ? static_cast<int32_t>(storedDetectShadow)
                                                                                : kDefaultDetectShadow;
}

uint8_t ThresholdByte() { return static_cast<uint8_t>(gSettings.threshold & kThresholdMask); }
