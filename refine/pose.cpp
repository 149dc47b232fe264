// The camera from the rim's conic: the two circular sections of its cone,
// the ground frame of a pose, and a pose's classic numbers.
#include <algorithm>
#include <cmath>

#include <Eigen/Dense>

#include "common/numeric.h"
#include "refine/refine.h"

static Eigen::Matrix3d ConicMatrix(const Conic &q)
{
    Eigen::Matrix3d c;
    c << q.c[0], q.c[1] / 2.0, q.c[3] / 2.0, q.c[1] / 2.0, q.c[2], q.c[4] / 2.0, q.c[3] / 2.0, q.c[4] / 2.0, q.c[5];
    return c;
}

// The rays X whose image p = K X lies on the conic form the cone
// X^T (K^T C K) X = 0. With its eigenvalues l1 >= l2 > 0 > l3 (the sign chosen
// so two are positive) and eigenvectors e1, e2, e3,
//   Q - l2 I = (l1 - l2) x^2 - (l2 - l3) z^2          (x, z along e1, e3)
// factors into two planes' product, so on a plane sqrt(l1 - l2) x +- sqrt(l2 - l3) z = k
// the cone meets the sphere l2 |X|^2 + k (sqrt(l1 - l2) x -+ sqrt(l2 - l3) z) = 0:
// a circle. Its normal is (sqrt(l1 - l2), 0, +-sqrt(l2 - l3)) / sqrt(l1 - l3).
//
// The plane's vanishing line is l = K^-T n; the image of the circle's centre is
// its pole C^-1 l. The centre's ray meets the plane n.X = 1 at the centre,
// the rays of the ellipse's vertices at rim points; their mean distance from
// the centre scales the plane to the disc's radius.
int PoseCandidates(const Conic &conic, double focal, double ppx, double ppy, DiscPose candidates[2])
{
    if (!(focal > 0.0) || !std::isfinite(focal))
        return 0;
    EllipseParams ellipse;
    if (!EllipseFromConic(conic, &ellipse))
        return 0;
    Eigen::Matrix3d k;
    k << focal, 0.0, ppx, 0.0, focal, ppy, 0.0, 0.0, 1.0;
    const Eigen::Matrix3d c = ConicMatrix(conic);
    Eigen::Matrix3d q = k.transpose() * c * k;
    q /= q.norm();
    Eigen::SelfAdjointEigenSolver<Eigen::Matrix3d> solver(q);
    if (solver.info() != Eigen::Success)
        return 0;
    Eigen::Vector3d values = solver.eigenvalues();  // ascending
    Eigen::Matrix3d vectors = solver.eigenvectors();
    int positive = (values(0) > 0.0) + (values(1) > 0.0) + (values(2) > 0.0);
    if (positive == 1) {
        values = -values;
        values.reverseInPlace();
        vectors = vectors.rowwise().reverse().eval();
        positive = 2;
    }
    // Now ascending: values(0) < 0 < values(1) <= values(2).
    if (positive != 2 || !(values(0) < 0.0))
        return 0;
    const double l1 = values(2), l2 = values(1), l3 = values(0);
    const Eigen::Vector3d e1 = vectors.col(2), e3 = vectors.col(0);
    const double along1 = std::sqrt(std::max(0.0, (l1 - l2) / (l1 - l3)));
    const double along3 = std::sqrt(std::max(0.0, (l2 - l3) / (l1 - l3)));
    const Eigen::Matrix3d kInverse = k.inverse();
    const Eigen::FullPivLU<Eigen::Matrix3d> conicLu(c);
    if (!conicLu.isInvertible())
        return 0;
    // Rim points: the ellipse's four vertices.
    const double ca = std::cos(ellipse.angle), sa = std::sin(ellipse.angle);
    const double vertices[4][2] = {{ellipse.cx + ellipse.a * ca, ellipse.cy + ellipse.a * sa},
                                   {ellipse.cx - ellipse.a * ca, ellipse.cy - ellipse.a * sa},
                                   {ellipse.cx - ellipse.b * sa, ellipse.cy + ellipse.b * ca},
                                   {ellipse.cx + ellipse.b * sa, ellipse.cy - ellipse.b * ca}};
    for (int side = 0; side < 2; side++) {
        Eigen::Vector3d n = along1 * e1 + (side == 0 ? 1.0 : -1.0) * along3 * e3;
        n.normalize();
        const Eigen::Vector3d line = kInverse.transpose() * n;
        Eigen::Vector3d pole = conicLu.solve(line);
        if (!(std::fabs(pole(2)) > 0.0))
            return 0;
        pole /= pole(2);
        Eigen::Vector3d ray = kInverse * pole;
        // The centre must lie in front of the camera: turn n toward it.
        if (n.dot(ray) < 0.0)
            n = -n;
        const double depth = n.dot(ray);
        if (!(depth > 0.0) || ray(2) <= 0.0)
            return 0;
        const Eigen::Vector3d centre = ray / depth;
        double radius = 0.0;
        for (const auto &v : vertices) {
            const Eigen::Vector3d r = kInverse * Eigen::Vector3d(v[0], v[1], 1.0);
            const double d = n.dot(r);
            if (!(d > 0.0))
                return 0;
            radius += (r / d - centre).norm() / 4.0;
        }
        if (!(radius > 0.0) || !std::isfinite(radius))
            return 0;
        const double scale = kDiscRadius / radius;
        DiscPose &pose = candidates[side];
        for (int i = 0; i < 3; i++) {
            // The camera, at the origin, is on the side n points away from.
            pose.up[i] = -n(i);
            pose.centre[i] = centre(i) * scale;
        }
        pose.centreImage[0] = pole(0);
        pose.centreImage[1] = pole(1);
    }
    return 2;
}

double UpAlignment(const DiscPose &a, const DiscPose &b)
{
    return a.up[0] * b.up[0] + a.up[1] * b.up[1] + a.up[2] * b.up[2];
}

const DiscPose &NearestCandidate(const DiscPose candidates[2], const DiscPose &reference)
{
    return UpAlignment(candidates[0], reference) >= UpAlignment(candidates[1], reference) ? candidates[0]
                                                                                            : candidates[1];
}

void MakeGroundFrame(const DiscPose &pose, GroundFrame *frame)
{
    const Eigen::Vector3d up(pose.up[0], pose.up[1], pose.up[2]);
    const Eigen::Vector3d axis(0.0, 0.0, 1.0);
    const Eigen::Vector3d forward = (axis - axis.dot(up) * up).normalized();
    const Eigen::Vector3d right = forward.cross(up);
    for (int i = 0; i < 3; i++) {
        frame->up[i] = up(i);
        frame->forward[i] = forward(i);
        frame->right[i] = right(i);
    }
}

// The world frame at the disc's centre on the ground: up u, backward
// b = -forward, right r = forward x u (the ground frame). The optical
// axis z = (0, 0, 1) in camera coordinates gives pitch = asin(z . u). Before
// any roll the camera's right is r; roll turns it toward the picture's up
// (y0 = up component of the camera's own up), and a camera turned
// counter-clockwise shows the picture turned clockwise.
void CameraNumbers(const DiscPose &pose, RefinedCamera *camera)
{
    GroundFrame ground;
    MakeGroundFrame(pose, &ground);
    const Eigen::Vector3d u(ground.up[0], ground.up[1], ground.up[2]);
    const Eigen::Vector3d forward(ground.forward[0], ground.forward[1], ground.forward[2]);
    const Eigen::Vector3d right(ground.right[0], ground.right[1], ground.right[2]);
    const Eigen::Vector3d z(0.0, 0.0, 1.0), x(1.0, 0.0, 0.0);
    const double sinPitch = std::max(-1.0, std::min(1.0, z.dot(u)));
    const double pitch = std::asin(sinPitch);
    const Eigen::Vector3d up0 = -std::sin(pitch) * forward + std::cos(pitch) * u;
    const double roll = std::atan2(x.dot(up0), x.dot(right));
    const Eigen::Vector3d origin = Eigen::Vector3d(pose.centre[0], pose.centre[1], pose.centre[2]) - kDiscThickness * u;
    const Eigen::Vector3d position = -origin;  // the camera's, from the disc's centre on the ground
    camera->pitch = DegreesFromRadians(pitch);
    camera->roll = DegreesFromRadians(roll);
    camera->dollyX = position.dot(right);
    camera->dollyY = position.dot(u);
    camera->dollyZ = -position.dot(forward);
}
