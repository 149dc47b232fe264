// What the unit tests share: a clean program state, and rendered sample
// photographs read into the WorkRaster the way the program reads them.
#pragma once

#include <string>

// The analysis state of a freshly started dialog (ResetAnalysisState), the
// memory dialog emptied and the settings read from it (the defaults).
void ResetProgramState();

// Reads build/samples/NAME.ppm (made from tests/data/samples/NAME.png or
// .jpg at build time) through SetImageGeometry and TransferPixel, as loading
// does in the program. Returns the load result (kLoadDone, kLoadFailed or
// kLoadRejected).
int LoadSample(const std::string &name);

// Path of a file under tests/data/samples.
std::string SamplePath(const std::string &file);
