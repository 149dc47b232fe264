// The colour generator starts with the process and the dialog never reseeds
// it, so its first colour can only be seen in a program of its own (the first
// test here runs first).
#include <gtest/gtest.h>

#include "marker/marker.h"

TEST(LabelColours, FirstColourOfTheProcessIsFixed)
{
    const Colour kFirst = 169 + 163 * 256 + 190 * 65536;  // red 169, green 163, blue 190
    EXPECT_EQ(NextLabelColour(), kFirst);
}

TEST(LabelColours, RestartGivesTheFirstColoursAgain)
{
    RestartLabelColours();
    Colour first = NextLabelColour();
    Colour second = NextLabelColour();
    NextLabelColour();
    RestartLabelColours();
    EXPECT_EQ(NextLabelColour(), first);
    EXPECT_EQ(NextLabelColour(), second);
}
