#include "ellipse/ellipse.h"

const int kOrder = 5;  // rows and columns

static void SwapRows(double matrix[25], int first, int second)
{
    for (int k = 0; k < kOrder; k++) {
        double kept = matrix[first * kOrder + k];
        matrix[first * kOrder + k] = matrix[second * kOrder + k];
        matrix[second * kOrder + k] = kept;
    }
}

// Gauss-Jordan on [M | I]: every row operation that turns M into I turns the
// companion into M^-1. A pivot is replaced only when it is exactly zero, by
// the first nonzero entry below it; the normal matrix of a well-posed fit is
// positive definite and never needs that.
int InvertMatrix5(double matrix[25])
{
    double companion[kOrder * kOrder];
    for (int k = 0; k < kOrder * kOrder; k++)
        companion[k] = 0.0;
    for (int k = 0; k < kOrder; k++)
        companion[k * kOrder + k] = 1.0;

    for (int i = 0; i < kOrder; i++) {
        if (matrix[i * kOrder + i] == 0.0) {
            int j = i + 1;
            while (j < kOrder && matrix[j * kOrder + i] == 0.0)
                j++;
            if (j == kOrder)
                return 0;
            SwapRows(matrix, i, j);
            SwapRows(companion, i, j);
        }

        double pivot = matrix[i * kOrder + i];
        for (int k = 0; k < kOrder; k++) {
            matrix[i * kOrder + k] /= pivot;
            companion[i * kOrder + k] /= pivot;
        }

        for (int r = 0; r < kOrder; r++) {
            if (r == i)
                continue;
            double factor = matrix[r * kOrder + i];
            for (int k = 0; k < kOrder; k++) {
                matrix[r * kOrder + k] -= factor * matrix[i * kOrder + k];
                companion[r * kOrder + k] -= factor * companion[i * kOrder + k];
            }
        }
    }

    for (int k = 0; k < kOrder * kOrder; k++)
        matrix[k] = companion[k];
    return 1;
}
