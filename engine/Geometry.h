// Canvas and layer geometry, as pure functions on numbers.
//
// PlanCanvas and PlaceLayers do their arithmetic here, and a host
// application that checks a render before it runs (the canvas a track asks
// for, the memory its layers need) calls the same functions, so that the
// figures it checks are the figures the render will meet. The order in
// which sums are formed is part of the contract: another order can round
// differently and move a frame by a pixel.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>

// How far the samples reach beyond the reference position on each side, in
// fractions of the start image's size.
struct CanvasReach {
    double Left = 0.0, Right = 0.0, Down = 0.0, Up = 0.0;

    // Takes in a sample at (x, y) seen from the reference at (rx, ry).
    void Add(double rx, double ry, double x, double y) {
        Left = std::max(Left, rx - x);
        Right = std::max(Right, x - rx);
        Down = std::max(Down, ry - y);
        Up = std::max(Up, y - ry);
    }
    bool None() const { return Left + Right + Down + Up == 0.0; }
};

// Where pixel (0, 0) of a frame at the reference position lands, in canvas
// pixels; kept fractional.
struct CanvasOrigin {
    double x = 0.0;
    double y = 0.0;
};

// A canvas side truncated toward zero; 0 when it is not finite, below one
// or beyond a 32-bit integer.
inline int32_t CanvasSide(double side) {
    if (!(side >= 1.0 && side < 2147483648.0)) return 0;
    return int32_t(side);
}

// The canvas: the start image grown by the reach on each side.
struct CanvasGeometry {
    double ExactWidth = 0.0, ExactHeight = 0.0;   // before truncation
    int32_t Width = 0, Height = 0;                 // 0 where CanvasSide refuses the side
    CanvasOrigin Origin;

    bool Representable() const { return Width > 0 && Height > 0; }
};

inline CanvasGeometry CanvasOf(int32_t startWidth, int32_t startHeight, const CanvasReach& reach) {
    CanvasGeometry canvas;
    canvas.ExactWidth = double(startWidth) * (reach.Left + reach.Right + 1.0);
    canvas.ExactHeight = double(startHeight) * (reach.Down + reach.Up + 1.0);
    canvas.Width = CanvasSide(canvas.ExactWidth);
    canvas.Height = CanvasSide(canvas.ExactHeight);
    canvas.Origin = CanvasOrigin{double(startWidth) * reach.Left, double(startHeight) * reach.Down};
    return canvas;
}

// A layer's shift along one axis: the change of position times the placed
// frame's size, truncated toward zero. Kept as a double: a frame far larger
// than the start image can shift beyond 32 bits, and the clamping onto the
// canvas must still fold it onto the border.
inline double LayerShift(double position, double reference, int32_t size) {
    return std::trunc((position - reference) * double(size));
}

// The turn of a frame against the first sample, in degrees: one addition
// of 360 only, so a change below -360 stays negative. Only a turn above 0 is
// carried out.
inline double TurnOf(double angle, double firstAngle) {
    double a = angle - firstAngle;
    if (a < 0.0) a += 360.0;
    return a;
}

// Clamps an already truncated target onto [0, size). NaN goes to 0.
inline int32_t ClampTarget(double target, int32_t size) {
    if (!(target >= 0.0)) return 0;
    if (target >= double(size)) return size - 1;
    return int32_t(target);
}

// The layer column of frame column x and the layer row of frame row y, for
// a frame shifted by (dx, dy) on a canvas of cw x ch. The sums are formed
// as (dx + origin.x) + x and (y + origin.y) + dy.
inline int32_t ColumnTarget(int32_t x, double dx, const CanvasOrigin& origin, int32_t cw) {
    return ClampTarget(std::trunc((dx + origin.x) + double(x)), cw);
}
inline int32_t RowTarget(int32_t y, double dy, const CanvasOrigin& origin, int32_t ch) {
    return ClampTarget(std::trunc((double(y) + origin.y) + dy), ch);
}

// The canvas area a layer's frame covers: columns [X0, X1) and rows [Y0, Y1).
// Outside it the layer is (0, 0, 0, 0) and so never takes part in compositing.
struct LayerFootprint {
    int32_t X0 = 0, X1 = 0, Y0 = 0, Y1 = 0;
};

// The footprint of a w x h frame shifted by (dx, dy): targets never
// decrease along an axis, so its first and last pixels bound it.
inline LayerFootprint FootprintOf(int32_t w, int32_t h, double dx, double dy, const CanvasOrigin& origin,
                                  int32_t cw, int32_t ch) {
    return LayerFootprint{ColumnTarget(0, dx, origin, cw), ColumnTarget(w - 1, dx, origin, cw) + 1,
                          RowTarget(0, dy, origin, ch), RowTarget(h - 1, dy, origin, ch) + 1};
}
