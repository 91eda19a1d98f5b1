// Sampling grid: the finder and alignment centres as anchors, and every
// module mapped to the image by a piecewise-affine model between them.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "decoder.h"

namespace vorden {

// Row/column coordinates of the alignment pattern centres by version
// (ISO/IEC 18004 Annex E, Table E.1); 0 ends a row.
const int32_t alignment_centres[41][8] = {
    {0},
    {0},
    {6, 18},
    {6, 22},
    {6, 26},
    {6, 30},
    {6, 34},
    {6, 22, 38},
    {6, 24, 42},
    {6, 26, 46},
    {6, 28, 50},
    {6, 30, 54},
    {6, 32, 58},
    {6, 34, 62},
    {6, 26, 46, 66},
    {6, 26, 48, 70},
    {6, 26, 50, 74},
    {6, 30, 54, 78},
    {6, 30, 56, 82},
    {6, 30, 58, 86},
    {6, 34, 62, 90},
    {6, 28, 50, 72, 94},
    {6, 26, 50, 74, 98},
    {6, 30, 54, 78, 102},
    {6, 28, 54, 80, 106},
    {6, 32, 58, 84, 110},
    {6, 30, 58, 86, 114},
    {6, 34, 62, 90, 118},
    {6, 26, 50, 74, 98, 122},
    {6, 30, 54, 78, 102, 126},
    {6, 26, 52, 78, 104, 130},
    {6, 30, 56, 82, 108, 134},
    {6, 34, 60, 86, 112, 138},
    {6, 30, 58, 86, 114, 142},
    {6, 34, 62, 90, 118, 146},
    {6, 30, 54, 78, 102, 126, 150},
    {6, 24, 50, 76, 102, 128, 154},
    {6, 28, 54, 80, 106, 132, 158},
    {6, 32, 58, 84, 110, 136, 162},
    {6, 26, 54, 82, 110, 138, 166},
    {6, 30, 58, 86, 114, 142, 170},
};

namespace {

DecoderState& S = decoder_state;

GridPoint* anchors() {
    return reinterpret_cast<GridPoint*>(S.sampling_grid.data);
}

const FinderPattern& finder(int32_t place) {
    return reinterpret_cast<const FinderPattern*>(S.finder_patterns.data)[S.selected_finders[place]];
}

bool add_anchor(const FinderPattern& f, int32_t column, int32_t row) {
    const GridPoint point{f.x, f.y, column, row, -1, {0, 0}, {0, 0}};
    return memchunk_add(&S.sampling_grid, &point) != 0;
}

// Mean image step per module along the cell's edges of equal column (rows)
// or equal row (columns); kept in the cell's upper left anchor.
void cell_units(GridPoint& tl, const GridPoint& tr, const GridPoint& bl, const GridPoint& br) {
    float vx = 0, vy = 0, count = 0;
    if (tl.column == bl.column) {
        vx += bl.x - tl.x;
        vy += bl.y - tl.y;
        count += static_cast<float>(bl.row - tl.row);
    }
    if (tr.column == br.column) {
        vx += br.x - tr.x;
        vy += br.y - tr.y;
        count += static_cast<float>(br.row - tr.row);
    }
    tl.local_y_unit[0] = vx / count;
    tl.local_y_unit[1] = vy / count;

    vx = vy = count = 0;
    if (tl.row == tr.row) {
        vx += tr.x - tl.x;
        vy += tr.y - tl.y;
        count += static_cast<float>(tr.column - tl.column);
    }
    if (bl.row == br.row) {
        vx += br.x - bl.x;
        vy += br.y - bl.y;
        count += static_cast<float>(br.column - bl.column);
    }
    tl.local_x_unit[0] = vx / count;
    tl.local_x_unit[1] = vy / count;
    tl.units_state = 0;
}

// The four corner anchors of one grid cell; null where the grid lacks one.
struct Cell {
    GridPoint *tl, *tr, *bl, *br;
};

// How many cells the symbol has per side, and where they start: cell k
// spans rows (and columns) start[k] .. start[k + 1] - 1. Version 1 is one
// cell; from version 2 on the alignment coordinates divide the symbol, the
// modules before the first and from the last on belonging to the cells at
// either end (ISO/IEC 18004 6.3.6).
constexpr int32_t kMaxCells = 6;  // seven coordinates at most
struct CellSpans {
    int32_t count;
    int32_t start[kMaxCells + 1];
};

CellSpans cell_spans() {
    CellSpans spans{1, {0, S.symbol_size}};
    if (S.symbol_version == 1) return spans;
    const int32_t* a = alignment_centres_row(S.symbol_version);
    int32_t coordinates = 0;
    while (coordinates < 7 && a[coordinates] > 0) ++coordinates;
    spans.count = coordinates - 1;
    for (int32_t l = 1; l < spans.count; ++l) spans.start[l] = a[l];
    spans.start[spans.count] = S.symbol_size;
    return spans;
}

// The cell that holds module coordinate m.
int32_t cell_of(const CellSpans& spans, int32_t m) {
    int32_t k = 0;
    while (k + 1 < spans.count && spans.start[k + 1] <= m) ++k;
    return k;
}

// The anchors of cell (k, l), k counting rows and l columns. Finder centres
// stand in for the alignment positions they cover. Version 1's one cell has
// F0 at all four corners, with the symbol's units for its own.
Cell cell_at(int32_t k, int32_t l) {
    const int32_t size = S.symbol_size;
    GridPoint* grid = anchors();
    if (S.symbol_version == 1) {
        GridPoint& f0 = grid[0];
        f0.local_x_unit[0] = S.x_unit[0];
        f0.local_x_unit[1] = S.x_unit[1];
        f0.local_y_unit[0] = S.y_unit[0];
        f0.local_y_unit[1] = S.y_unit[1];
        f0.units_state = 0;
        return Cell{&f0, &f0, &f0, &f0};
    }
    const int32_t* a = alignment_centres_row(S.symbol_version);
    const int32_t top = a[k], bottom = a[k + 1];
    const int32_t left = a[l], right = a[l + 1];
    return Cell{left < 7 && top < 7 ? &grid[0] : find_grid_point(top, left),
                right >= size - 7 && top < 7 ? &grid[1] : find_grid_point(top, right),
                left < 7 && bottom >= size - 7 ? &grid[2] : find_grid_point(bottom, left),
                find_grid_point(bottom, right)};
}

// Samples row r's modules c0 .. c1 - 1, which lie in one cell, into
// out[0 .. c1 - c0 - 1]; false at the first that maps outside the image or
// when an anchor is missing. Each cell's units are worked out at its first
// module; what depends on the row alone is worked out once per call.
bool sample_cell_row(const Cell& cell, int32_t r, int32_t c0, int32_t c1, uint8_t* out) {
    GridPoint* tl = cell.tl;
    if (tl == nullptr || cell.tr == nullptr || cell.bl == nullptr || cell.br == nullptr) return false;
    if (tl->units_state < 0) cell_units(*tl, *cell.tr, *cell.bl, *cell.br);
    const GridPoint* corners[4] = {tl, cell.tr, cell.bl, cell.br};
    int32_t column[4], row_distance[4];
    float row_x[4], row_y[4];
    for (int32_t k = 0; k < 4; ++k) {
        const int32_t dr = r - corners[k]->row;
        column[k] = corners[k]->column;
        row_distance[k] = dr * dr;
        row_x[k] = static_cast<float>(dr) * tl->local_y_unit[0];
        row_y[k] = static_cast<float>(dr) * tl->local_y_unit[1];
    }
    const float step_x = tl->local_x_unit[0];
    const float step_y = tl->local_x_unit[1];
    const float width = static_cast<float>(S.image_width), height = static_cast<float>(S.image_height);
    for (int32_t c = c0; c < c1; ++c) {
        // The nearest corner anchors the position; ties go to the earlier corner.
        int32_t origin = 0;
        int32_t nearest = (c - column[0]) * (c - column[0]) + row_distance[0];
        const int32_t d1 = (c - column[1]) * (c - column[1]) + row_distance[1];
        const int32_t d2 = (c - column[2]) * (c - column[2]) + row_distance[2];
        const int32_t d3 = (c - column[3]) * (c - column[3]) + row_distance[3];
        if (d1 < nearest) nearest = d1, origin = 1;
        if (d2 < nearest) nearest = d2, origin = 2;
        if (d3 < nearest) origin = 3;
        const GridPoint& o = *corners[origin];
        const float dc = static_cast<float>(c - o.column);
        const float px = dc * step_x + o.x + row_x[origin];
        const float py = dc * step_y + o.y + row_y[origin];
        // As pixel_at: outside is a failure; inside, truncation is the floor.
        if (!(px >= 0 && px < width && py >= 0 && py < height)) return false;
        out[c - c0] = S.binary_image[static_cast<int32_t>(py) * S.image_width + static_cast<int32_t>(px)];
    }
    return true;
}

// Whether the grid can be sampled: a version's, with the three finder
// anchors at least.
bool sampling_ready() {
    return S.symbol_version >= 1 && S.symbol_version <= 40 && S.sampling_grid.count >= 3;
}

}  // namespace

const int32_t* alignment_centres_row(int32_t version) {
    return alignment_centres[version];
}

int32_t build_sampling_grid() {
    memchunk_init(&S.sampling_grid, sizeof(GridPoint));
    if (S.symbol_version < 1 || S.symbol_version > 40) return 0;
    const int32_t size = 4 * S.symbol_version + 17;
    S.symbol_size = size;

    bool complete = true;
    if (!add_anchor(finder(0), 3, 3)) {
        if (S.log_stream != nullptr) std::fputs("grid buffer exhausted.\n", stderr);
        complete = false;
    }
    // Every anchor is needed for sampling, so any lost append fails the grid.
    complete = add_anchor(finder(1), size - 4, 3) && complete;
    complete = add_anchor(finder(2), 3, size - 4) && complete;

    const int32_t* a = alignment_centres_row(S.symbol_version);
    for (int32_t i = 0; i < 7 && a[i] > 0; ++i) {
        for (int32_t j = 0; j < 7 && a[j] > 0; ++j) {
            const int32_t row = a[i];
            const int32_t column = a[j];
            // The three positions under finder patterns hold no alignment pattern.
            if ((column < 7 && row < 7) || (column >= size - 7 && row < 7) ||
                (column < 7 && row >= size - 7)) {
                continue;
            }
            GridPoint point{0, 0, column, row, -1, {0, 0}, {0, 0}};
            if (!find_alignment_pattern(&point)) {
                complete = false;
                continue;
            }
            log_line("grid(%f, %f)\n", point.x, point.y);
            if (!memchunk_add(&S.sampling_grid, &point)) complete = false;
        }
    }
    return complete ? -1 : 0;
}

// One module through its cell, as sample_modules reads it.
int32_t sample_module(int32_t column, int32_t row) {
    if (!sampling_ready()) return -1;
    const CellSpans spans = cell_spans();
    uint8_t value;
    const Cell cell = cell_at(cell_of(spans, row), cell_of(spans, column));
    return sample_cell_row(cell, row, column, column + 1, &value) ? value : -1;
}

// Row by row, each row cell by cell, so that the anchors of a cell are
// looked up once rather than per module. The modules go in row-major order
// all the same: the first outside the image ends the sampling.
int32_t sample_modules() {
    if (!sampling_ready()) return 0;
    const int32_t size = S.symbol_size;
    const CellSpans spans = cell_spans();
    Cell cells[kMaxCells][kMaxCells];
    for (int32_t k = 0; k < spans.count; ++k)
        for (int32_t l = 0; l < spans.count; ++l) cells[k][l] = cell_at(k, l);
    for (int32_t r = 0; r < size; ++r) {
        const Cell* row_cells = cells[cell_of(spans, r)];
        uint8_t* out = S.module_matrix + r * size;
        for (int32_t l = 0; l < spans.count; ++l) {
            const int32_t c0 = spans.start[l];
            if (!sample_cell_row(row_cells[l], r, c0, spans.start[l + 1], out + c0)) return 0;
        }
    }
    std::memset(S.function_map, 0, sizeof S.function_map);
    return -1;
}

GridPoint* find_grid_point(int32_t row, int32_t column) {
    GridPoint* grid = anchors();
    for (int32_t i = 0; i < S.sampling_grid.count; ++i) {
        if (grid[i].row == row && grid[i].column == column) return &grid[i];
    }
    return nullptr;
}

void release_sampling_grid() {
    memchunk_free(&S.sampling_grid);
}

}  // namespace vorden
