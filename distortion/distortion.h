// A lens' radial distortion as the lens database calibrates it, and the map
// between the photograph as taken and the ideal pinhole picture, point by point.
#pragma once

#include <cstddef>
#include <cstdint>

// lensfun's distortion models, by its own numbering; r_u is the ideal
// (pinhole) radius and r_d the photograph's, both normalised (below):
//   poly3:  r_d = r_u (1 - k1 + k1 r_u^2)
//   poly5:  r_d = r_u (1 + k1 r_u^2 + k2 r_u^4)
//   ptlens: r_d = r_u (a r_u^3 + b r_u^2 + c r_u + 1 - a - b - c)
enum DistortionModel : int32_t {
    kDistortionNone = 0,
    kDistortionPoly3 = 1,
    kDistortionPoly5 = 2,
    kDistortionPtLens = 3,
};

// Bytes kept of a camera's or lens' name, with the terminating zero.
const int kDistortionNameSize = 80;

// A calibration at one focal length. Plain data, copied byte for byte.
struct LensDistortion {
    DistortionModel model;      // kDistortionNone: no correction
    double terms[3];            // k1 | k1, k2 | a, b, c
    double focalMm;             // mm, the EXIF focal length the terms were taken at
    double calibrationCrop;     // the crop factor of the camera the lens was calibrated on
    double calibrationAspect;   // the calibration frame's long side over its short side
    double crop;                // the photo's camera's crop factor
    char lens[kDistortionNameSize];    // the profile's lens, as the database names it
    char camera[kDistortionNameSize];  // the camera, as the database names it
};

// The calibration on one photo: centre and scale of the normalised radius.
// lensfun measures radii from the picture's centre in units of half the
// shorter side of the calibration frame. It spans a photo w x h between its
// outer pixel centres, s = min(w, h) - 1 by l = max(w, h) - 1, aspect A = l / s;
// for a camera with crop k, a lens calibrated on a frame of aspect A_c and
// crop k_c, a point d pixels from the centre lies at
//   r = d / (s / 2) * sqrt(A_c^2 + 1) / sqrt(A^2 + 1) * k_c / k,
// which matches the two frames at their diagonals.
struct DistortionFrame {
    DistortionModel model;
    double terms[3];
    double centre[2];    // source pixels, the photo's centre (width / 2, height / 2)
    double unitPixels;   // source pixels per unit of normalised radius
    double reach;        // normalised radius of the photo's corners
};

// 1 with *frame written when the distortion applies to a photo of width x
// height: a model with finite terms, and a map that grows with the radius out
// to past the corners (so that each photo point has one ideal point); else 0.
int MakeDistortionFrame(const LensDistortion *distortion, uint32_t width, uint32_t height, DistortionFrame *frame);

// Where an ideal (pinhole) point lies on the photograph, source pixels.
void DistortPoint(const DistortionFrame &frame, double x, double y, double *xd, double *yd);
// Where a photograph's point lies in the ideal picture, by Newton's method on
// the radius; 1 with (*x, *y) written, 0 (untouched) when it does not converge.
int UndistortPoint(const DistortionFrame &frame, double xd, double yd, double *x, double *y);

// "poly3", "poly5", "ptlens" or "none".
const char *DistortionModelName(DistortionModel model);
// How many of terms the model uses.
int DistortionTermCount(DistortionModel model);
