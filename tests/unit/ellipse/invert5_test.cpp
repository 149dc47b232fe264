// Gauss-Jordan inversion of the 5 x 5 normal matrix.
#include <gtest/gtest.h>

#include <vector>

#include "ellipse/ellipse.h"

namespace {

const double kTolerance = 1e-12;

typedef std::vector<double> Matrix;

Matrix Identity()
{
    Matrix m(25, 0.0);
    for (int k = 0; k < 5; k++)
        m[k * 5 + k] = 1.0;
    return m;
}

Matrix Product(const Matrix &left, const Matrix &right)
{
    Matrix m(25, 0.0);
    for (int r = 0; r < 5; r++)
        for (int c = 0; c < 5; c++)
            for (int k = 0; k < 5; k++)
                m[r * 5 + c] += left[r * 5 + k] * right[k * 5 + c];
    return m;
}

struct InverseCase {
    const char *name;
    Matrix matrix;
};

class Invertible : public ::testing::TestWithParam<InverseCase> {};

TEST_P(Invertible, GivesTheInverse)
{
    Matrix inverse = GetParam().matrix;
    ASSERT_EQ(InvertMatrix5(inverse.data()), 1);
    Matrix product = Product(GetParam().matrix, inverse);
    Matrix identity = Identity();
    for (int k = 0; k < 25; k++)
        EXPECT_NEAR(product[k], identity[k], kTolerance) << "entry " << k;
}

INSTANTIATE_TEST_SUITE_P(
    Matrices, Invertible,
    ::testing::Values(
        InverseCase{"Identity", Identity()},
        InverseCase{"Diagonal", {2, 0, 0, 0, 0, 0, -4, 0, 0, 0, 0, 0, 0.5, 0, 0, 0, 0, 0, 8, 0, 0, 0, 0, 0, 1e-3}},
        // A zero pivot takes the first row below with a nonzero entry.
        InverseCase{"SwapFirstTwoRows", {0, 2, 0, 0, 1, 3, 1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 1, 0, 1, 0, 0, 0, 1}},
        InverseCase{"SwapFirstAndThirdRows", {0, 2, 1, 0, 0, 0, 1, 0, 0, 0, 5, 0, 1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 2, 1}},
        // Symmetric positive definite, like a normal matrix.
        InverseCase{"NormalMatrix", {10, 1, 2, 0, 1, 1, 9, 0, 3, 0, 2, 0, 8, 1, 1, 0, 3, 1, 7, 2, 1, 0, 1, 2, 6}}),
    [](const ::testing::TestParamInfo<InverseCase> &info) { return std::string(info.param.name); });

TEST(InvertMatrix5, DiagonalGivesReciprocalsExactly)
{
    Matrix m = {2, 0, 0, 0, 0, 0, -4, 0, 0, 0, 0, 0, 0.5, 0, 0, 0, 0, 0, 8, 0, 0, 0, 0, 0, 0.25};
    ASSERT_EQ(InvertMatrix5(m.data()), 1);
    Matrix expected = {0.5, 0, 0, 0, 0, 0, -0.25, 0, 0, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0.125, 0, 0, 0, 0, 0, 4};
    EXPECT_EQ(m, expected);
}

TEST(InvertMatrix5, SwapsWholeRowsOfBothMatrices)
{
    // Rows 0 and 1 of the identity exchanged: the inverse is the same swap.
    Matrix m = Identity();
    m[0] = 0; m[1] = 1; m[5] = 1; m[6] = 0;
    Matrix swapped = m;
    ASSERT_EQ(InvertMatrix5(m.data()), 1);
    EXPECT_EQ(m, swapped);
}

TEST(InvertMatrix5, AllZeroFailsAtTheFirstColumnUnchanged)
{
    Matrix m(25, 0.0);
    EXPECT_EQ(InvertMatrix5(m.data()), 0);
    EXPECT_EQ(m, Matrix(25, 0.0));
}

TEST(InvertMatrix5, ZeroLastRowFailsAtTheLastColumn)
{
    Matrix m = Identity();
    m[4 * 5 + 4] = 0.0;
    EXPECT_EQ(InvertMatrix5(m.data()), 0);

    // A last pivot that cancels to exactly zero fails the same way.
    Matrix dependent = Identity();
    for (int c = 0; c < 5; c++)
        dependent[4 * 5 + c] = dependent[3 * 5 + c] = (c == 3 || c == 4) ? 1.0 : 0.0;
    EXPECT_EQ(InvertMatrix5(dependent.data()), 0);
}

}  // namespace
