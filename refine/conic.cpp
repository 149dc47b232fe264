// The rim's ellipse as a conic: the conic of an ellipse and back, the direct
// least-squares fit through edge points, and its geometric refinement on the
// Sampson distances with the outliers taken out.
#include <algorithm>
#include <cmath>
#include <vector>

#include <Eigen/Dense>

#include "common/numeric.h"
#include "refine/refine.h"

const double kOutlierSigmas = 3.0;   // residuals beyond this many robust deviations leave the fit
const double kMinOutlierCut = 0.15;  // source pixels, the cut never goes below this
const int kGaussNewtonSteps = 12;
const int kMinGeometricPoints = 8;   // points the geometric refinement needs for its five parameters
const int kDampingTries = 8;         // damping increases tried before a step gives up
const double kStartDamping = 1e-3;   // Levenberg-Marquardt's damping on the normal matrix's diagonal
const double kLeastDamping = 1e-9;
const double kDampingFactor = 10.0;  // damping falls by this after a good step and rises by it after a bad one
const double kSettledGain = 1e-12;   // a step that lowers the cost by this share or less ends the refinement
const double kTinyCost = 1e-30;      // keeps the share defined at a zero cost
// Central-difference steps of (cx, cy, a, b, angle): pixels, pixels, pixels, pixels, radians.
const double kDerivativeSteps[5] = {1e-4, 1e-4, 1e-4, 1e-4, 1e-7};

// Root of the sum of the squared coefficients.
static double ConicNorm(const Conic &q)
{
    double n = 0.0;
    for (double v : q.c)
        n += v * v;
    return std::sqrt(n);
}

static void DivideConic(Conic *q, double n)
{
    for (double &v : q->c)
        v /= n;
}

Conic ConicFromEllipse(EllipseParams e)
{
    const double c = std::cos(e.angle), s = std::sin(e.angle);
    const double ia = 1.0 / (e.a * e.a), ib = 1.0 / (e.b * e.b);
    Conic q;
    q.c[0] = c * c * ia + s * s * ib;
    q.c[1] = 2.0 * c * s * (ia - ib);
    q.c[2] = s * s * ia + c * c * ib;
    q.c[3] = -2.0 * q.c[0] * e.cx - q.c[1] * e.cy;
    q.c[4] = -q.c[1] * e.cx - 2.0 * q.c[2] * e.cy;
    q.c[5] = q.c[0] * e.cx * e.cx + q.c[1] * e.cx * e.cy + q.c[2] * e.cy * e.cy - 1.0;
    DivideConic(&q, ConicNorm(q));
    return q;
}

// Centre from the vanishing gradient; the quadratic part's eigenvalues over
// minus the conic's value at the centre are 1 / a^2 and 1 / b^2.
int EllipseFromConic(const Conic &q, EllipseParams *ellipse)
{
    const double A = q.c[0], B = q.c[1], C = q.c[2], D = q.c[3], E = q.c[4], F = q.c[5];
    const double det = 4.0 * A * C - B * B;
    if (!(det > 0.0))
        return 0;
    const double cx = (B * E - 2.0 * C * D) / det;
    const double cy = (B * D - 2.0 * A * E) / det;
    const double f0 = A * cx * cx + B * cx * cy + C * cy * cy + D * cx + E * cy + F;
    const double mean = 0.5 * (A + C);
    const double half = 0.5 * std::hypot(A - C, B);
    const double small = mean - half, large = mean + half;
    const double sa = -f0 / small, sb = -f0 / large;
    if (!(sa > 0.0 && sb > 0.0 && std::isfinite(sa) && std::isfinite(sb)))
        return 0;
    EllipseParams e;
    e.cx = cx;
    e.cy = cy;
    e.a = std::sqrt(sa);
    e.b = std::sqrt(sb);
    // The a axis is the eigenvector of the smaller eigenvalue.
    e.angle = 0.5 * std::atan2(B, A - C) + kPi / 2.0;
    if (e.angle > kPi / 2.0)
        e.angle -= kPi;
    *ellipse = e;
    return 1;
}

// Halir and Flusser's split of Fitzgibbon's constrained least squares, on
// coordinates centred and scaled to unit spread so the scatter matrices stay
// well conditioned.
int FitConicDirect(const double *x, const double *y, int count, Conic *conic)
{
    if (count < 6)
        return 0;
    double mx = 0.0, my = 0.0;
    for (int i = 0; i < count; i++) {
        mx += x[i];
        my += y[i];
    }
    mx /= count;
    my /= count;
    double spread = 0.0;
    for (int i = 0; i < count; i++)
        spread += (x[i] - mx) * (x[i] - mx) + (y[i] - my) * (y[i] - my);
    spread = std::sqrt(spread / (2.0 * count));
    if (!(spread > 0.0))
        return 0;
    Eigen::Matrix3d s1 = Eigen::Matrix3d::Zero(), s2 = Eigen::Matrix3d::Zero(), s3 = Eigen::Matrix3d::Zero();
    for (int i = 0; i < count; i++) {
        const double u = (x[i] - mx) / spread, v = (y[i] - my) / spread;
        const Eigen::Vector3d d1(u * u, u * v, v * v), d2(u, v, 1.0);
        s1 += d1 * d1.transpose();
        s2 += d1 * d2.transpose();
        s3 += d2 * d2.transpose();
    }
    Eigen::FullPivLU<Eigen::Matrix3d> lu(s3);
    if (!lu.isInvertible())
        return 0;
    const Eigen::Matrix3d t = -lu.inverse() * s2.transpose();
    const Eigen::Matrix3d m = s1 + s2 * t;
    // Premultiplied by the inverse of the constraint 4 A C - B^2.
    Eigen::Matrix3d r;
    r.row(0) = m.row(2) / 2.0;
    r.row(1) = -m.row(1);
    r.row(2) = m.row(0) / 2.0;
    Eigen::EigenSolver<Eigen::Matrix3d> solver(r);
    if (solver.info() != Eigen::Success)
        return 0;
    int best = -1;
    double bestCondition = 0.0;
    for (int k = 0; k < 3; k++) {
        const Eigen::Vector3d v = solver.eigenvectors().col(k).real();
        const double condition = 4.0 * v(0) * v(2) - v(1) * v(1);
        if (condition > bestCondition) {
            bestCondition = condition;
            best = k;
        }
    }
    if (best < 0)
        return 0;
    const Eigen::Vector3d a1 = solver.eigenvectors().col(best).real();
    const Eigen::Vector3d a2 = t * a1;
    Eigen::Matrix3d cn;
    cn << a1(0), a1(1) / 2.0, a2(0) / 2.0, a1(1) / 2.0, a1(2), a2(1) / 2.0, a2(0) / 2.0, a2(1) / 2.0, a2(2);
    Eigen::Matrix3d h;
    h << 1.0 / spread, 0.0, -mx / spread, 0.0, 1.0 / spread, -my / spread, 0.0, 0.0, 1.0;
    const Eigen::Matrix3d c = h.transpose() * cn * h;
    Conic q;
    q.c[0] = c(0, 0);
    q.c[1] = 2.0 * c(0, 1);
    q.c[2] = c(1, 1);
    q.c[3] = 2.0 * c(0, 2);
    q.c[4] = 2.0 * c(1, 2);
    q.c[5] = c(2, 2);
    const double n = ConicNorm(q);
    if (!(n > 0.0) || !std::isfinite(n))
        return 0;
    DivideConic(&q, n);
    *conic = q;
    return 1;
}

// Sampson distances F(p) / |grad F(p)| of the points from the ellipse's
// conic: the first-order distance of p from the conic, which for edge points
// well under a pixel off the rim is the orthogonal distance to far below their
// noise. The conic's value and gradient are taken a pair of points at a time
// in registers (a pair per vector instruction, nothing kept in memory between
// the terms); each lane rounds as a lone double would, in the same order,
// every sum taken left to right:
//   F(p) = (A x) x + (B x) y + (C y) y + D x + E y + F
//   grad F(p) = ((2A) x + B y + D, B x + (2C) y + E)
static void SampsonResiduals(const EllipseParams &e, const double *x, const double *y, int count, Eigen::VectorXd *r)
{
    const Conic q = ConicFromEllipse(e);
    const double A = q.c[0], B = q.c[1], C = q.c[2], D = q.c[3], E = q.c[4], F = q.c[5];
    const double twoA = 2.0 * A, twoC = 2.0 * C;
    r->resize(count);
    double *out = r->data();
    int i = 0;
    for (; i + 1 < count; i += 2) {
        const Eigen::Array2d px(x[i], x[i + 1]), py(y[i], y[i + 1]);
        const Eigen::Array2d f = A * px * px + B * px * py + C * py * py + D * px + E * py + F;
        const Eigen::Array2d gx = twoA * px + B * py + D;
        const Eigen::Array2d gy = B * px + twoC * py + E;
        for (int k = 0; k < 2; k++) {
            const double g = std::hypot(gx(k), gy(k));
            out[i + k] = g > 0.0 ? f(k) / g : 0.0;
        }
    }
    for (; i < count; i++) {
        const double px = x[i], py = y[i];
        const double f = A * px * px + B * px * py + C * py * py + D * px + E * py + F;
        const double g = std::hypot(twoA * px + B * py + D, B * px + twoC * py + E);
        out[i] = g > 0.0 ? f / g : 0.0;
    }
}

EllipseParams ShiftedEllipse(EllipseParams e, int parameter, double by)
{
    double *p[5] = {&e.cx, &e.cy, &e.a, &e.b, &e.angle};
    *p[parameter] += by;
    return e;
}

// Levenberg-Marquardt on (cx, cy, a, b, angle) over the Sampson distances,
// with central-difference derivatives. Writes the covariance sigma^2 (J^T J)^-1.
// *residuals holds the points' distances from *ellipse on entry and from the
// refined one on success: the caller reads them next, and a distance depends
// on its own point alone, so no evaluation is made twice.
static int RefineGeometric(const double *x, const double *y, int n, EllipseParams *ellipse,
                           Eigen::VectorXd *residuals, double covariance[25], double *rms)
{
    if (n < kMinGeometricPoints)
        return 0;
    EllipseParams e = *ellipse;
    Eigen::VectorXd r, rn;
    r.swap(*residuals);
    double cost = r.squaredNorm();
    double damping = kStartDamping;
    Eigen::MatrixXd jac(n, 5);
    Eigen::VectorXd plus, minus;
    for (int step = 0; step < kGaussNewtonSteps; step++) {
        for (int k = 0; k < 5; k++) {
            SampsonResiduals(ShiftedEllipse(e, k, kDerivativeSteps[k]), x, y, n, &plus);
            SampsonResiduals(ShiftedEllipse(e, k, -kDerivativeSteps[k]), x, y, n, &minus);
            jac.col(k) = (plus - minus) / (2.0 * kDerivativeSteps[k]);
        }
        const Eigen::Matrix<double, 5, 5> normal = jac.transpose() * jac;
        const Eigen::Matrix<double, 5, 1> gradient = jac.transpose() * r;
        int improved = 0;
        for (int tries = 0; tries < kDampingTries && !improved; tries++) {
            Eigen::Matrix<double, 5, 5> damped = normal;
            for (int k = 0; k < 5; k++)
                damped(k, k) *= 1.0 + damping;
            const Eigen::Matrix<double, 5, 1> delta = damped.ldlt().solve(-gradient);
            EllipseParams next = e;
            for (int k = 0; k < 5; k++)
                next = ShiftedEllipse(next, k, delta(k));
            SampsonResiduals(next, x, y, n, &rn);
            const double nextCost = rn.squaredNorm();
            if (std::isfinite(nextCost) && nextCost <= cost) {
                const double gain = cost - nextCost;
                e = next;
                r.swap(rn);
                cost = nextCost;
                damping = std::max(damping / kDampingFactor, kLeastDamping);
                improved = 1;
                if (gain <= kSettledGain * (cost + kTinyCost))
                    step = kGaussNewtonSteps;
            } else {
                damping *= kDampingFactor;
            }
        }
        if (!improved)
            break;
    }
    if (!(e.a > 0.0 && e.b > 0.0))
        return 0;
    const Eigen::Matrix<double, 5, 5> normal = jac.transpose() * jac;
    Eigen::FullPivLU<Eigen::Matrix<double, 5, 5>> lu(normal);
    if (!lu.isInvertible())
        return 0;
    const double variance = cost / std::max(1, n - 5);
    const Eigen::Matrix<double, 5, 5> cov = lu.inverse() * variance;
    for (int i = 0; i < 25; i++)
        covariance[i] = cov(i / 5, i % 5);
    *rms = std::sqrt(cost / n);
    *ellipse = e;
    residuals->swap(r);
    return 1;
}

// The residuals' long-run variance over their variance (the Bartlett-weighted
// sum of their autocorrelations along the rim, bandwidth K):
//     tau = 1 + 2 sum_{k=1..K} (1 - k / (K + 1)) rho_k.
// Neighbouring edge points are not independent: the pixel grid's phase, JPEG's
// 8 x 8 blocks, the blur and the ground's texture move them together. The
// ellipse's five parameters take the slowest harmonics of the residual field
// around the rim, where its spectral density is the long-run variance
// sigma^2 tau rather than sigma^2, so the covariance of independent points,
// sigma^2 (J^T J)^-1, is multiplied by tau (never below 1). K spans the
// longest such stretch, where the rim keeps one phase against the grid:
// 2 sqrt(a) pixels. The points come in order around the rim.
static double CorrelationInflation(const Eigen::VectorXd &r, int bandwidth)
{
    const int n = static_cast<int>(r.size());
    const double mean = r.mean();
    double c0 = 0.0;
    for (int i = 0; i < n; i++)
        c0 += (r(i) - mean) * (r(i) - mean);
    if (!(c0 > 0.0))
        return 1.0;
    double tau = 1.0;
    for (int k = 1; k <= bandwidth && k < n; k++) {
        double ck = 0.0;
        for (int i = 0; i < n; i++)
            ck += (r(i) - mean) * (r((i + k) % n) - mean);
        tau += 2.0 * (1.0 - k / (bandwidth + 1.0)) * ck / c0;
    }
    return std::max(1.0, tau);
}

int FitRimEllipse(const double *x, const double *y, int count, RimFit *fit)
{
    Conic conic;
    EllipseParams e;
    if (!FitConicDirect(x, y, count, &conic) || !EllipseFromConic(conic, &e))
        return 0;
    double covariance[25], rms;
    Eigen::VectorXd residuals;
    SampsonResiduals(e, x, y, count, &residuals);
    if (!RefineGeometric(x, y, count, &e, &residuals, covariance, &rms))
        return 0;
    std::vector<double> distances;
    for (int i = 0; i < count; i++)
        distances.push_back(std::fabs(residuals(i)));
    const double cutoff = std::max(kMinOutlierCut, kOutlierSigmas * kMadToSigma * Median(distances));
    std::vector<double> kx, ky, kept;
    for (int i = 0; i < count; i++)
        if (distances[i] <= cutoff) {
            kx.push_back(x[i]);
            ky.push_back(y[i]);
            kept.push_back(residuals(i));
        }
    Eigen::VectorXd keptResiduals = Eigen::Map<const Eigen::VectorXd>(kept.data(), kept.size());
    if (!RefineGeometric(kx.data(), ky.data(), static_cast<int>(kx.size()), &e, &keptResiduals, covariance, &rms))
        return 0;
    NormaliseEllipse(&e);
    if (e.angle > kPi / 2.0)
        e.angle -= kPi;
    if (e.angle <= -kPi / 2.0)
        e.angle += kPi;
    // Ramanujan's perimeter over the points gives their spacing along the rim.
    const double perimeter = kPi * (3.0 * (e.a + e.b) - std::sqrt((3.0 * e.a + e.b) * (e.a + 3.0 * e.b)));
    const int bandwidth = static_cast<int>(std::ceil(2.0 * std::sqrt(e.a) * kx.size() / perimeter));
    const double tau = CorrelationInflation(keptResiduals, bandwidth);
    fit->ellipse = e;
    fit->conic = ConicFromEllipse(e);
    for (int i = 0; i < 25; i++)
        fit->covariance[i] = covariance[i] * tau;
    fit->rms = rms;
    fit->used = static_cast<int>(kx.size());
    return 1;
}
