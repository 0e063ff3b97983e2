// The scaling and squaring of matrix_exponential.cpp for one vector width:
// included into a namespace of its own by each file that compiles it (one
// per instruction set), with TARVO_KERNEL_WIDTH doubles per vector. Every
// width does exactly the same scalar operations in the same order, so the
// results do not depend on which one runs.
//
// exp(M) = (exp(-mu 2^-s) T(B 2^-s))^(2^s) with B = M + mu I, mu the largest
// negated diagonal entry, T the Taylor polynomial of degree 15 and s the
// smallest power with ||B 2^-s||_1 <= THETA. For a rate matrix B is
// non-negative with ||B||_1 = mu, so the polynomial and the squarings only
// add non-negative terms.
//
// The matrices are held as rows of padded vectors; the products run on their
// lanes whatever the compiler's vectorisation settings.
// (No include guard: meant to be included more than once.)


constexpr int N = MATRIX_ORDER;
constexpr int NN = MATRIX_ENTRIES;
// Doubles per vector, and vectors per padded row.
constexpr int WIDTH = TARVO_KERNEL_WIDTH;
constexpr int LANES = (N + 1 + WIDTH - 1) / WIDTH;

// WIDTH doubles, added and multiplied lane by lane.
typedef double Pair __attribute__((vector_size(8 * WIDTH)));

// Lane numbers 0 .. WIDTH - 1, as integers of the width of a double.
typedef long long LaneIndex __attribute__((vector_size(8 * WIDTH)));
inline LaneIndex lane_numbers() {
  LaneIndex n;
  for (int w = 0; w < WIDTH; ++w) n[w] = w;
  return n;
}

// v with lane w replaced by x. Written as a blend of whole vectors: a store
// of one lane followed by a load of the whole vector would stall the load
// (the processor cannot forward a narrow store to a wide load).
inline Pair with_lane(const Pair& v, int w, double x) {
  Pair others;
  for (int u = 0; u < WIDTH; ++u) others[u] = x;
  return lane_numbers() == static_cast<long long>(w) ? others : v;
}

// A 5x5 matrix, rows padded with zero columns to whole vectors.
struct Matrix {
  Pair row[N][LANES];
  double get(int i, int j) const { return row[i][j / WIDTH][j % WIDTH]; }
  void set(int i, int j, double v) {
    row[i][j / WIDTH] = with_lane(row[i][j / WIDTH], j % WIDTH, v);
  }
};

// Largest ||B 2^-s||_1 for the degree-15 polynomial: its relative backward
// error, about THETA^15 / 16! = 1.5e-18, lies far below the unit roundoff.
constexpr double THETA = 0.5;

// 1/k! for k = 0..15.
constexpr double inverse_factorial(int k) {
  double f = 1.0;
  for (int i = 2; i <= k; ++i) f *= i;
  return 1.0 / f;
}
// 1/(k+1)! for k = 0..18: the coefficients of phi_1.
constexpr double TAYLOR_TAIL[19] = {
    inverse_factorial(1),  inverse_factorial(2),  inverse_factorial(3),  inverse_factorial(4),
    inverse_factorial(5),  inverse_factorial(6),  inverse_factorial(7),  inverse_factorial(8),
    inverse_factorial(9),  inverse_factorial(10), inverse_factorial(11), inverse_factorial(12),
    inverse_factorial(13), inverse_factorial(14), inverse_factorial(15), inverse_factorial(16),
    inverse_factorial(17), inverse_factorial(18), inverse_factorial(19)};
constexpr double TAYLOR[16] = {
    inverse_factorial(0),  inverse_factorial(1),  inverse_factorial(2),  inverse_factorial(3),
    inverse_factorial(4),  inverse_factorial(5),  inverse_factorial(6),  inverse_factorial(7),
    inverse_factorial(8),  inverse_factorial(9),  inverse_factorial(10), inverse_factorial(11),
    inverse_factorial(12), inverse_factorial(13), inverse_factorial(14), inverse_factorial(15)};

inline Pair splat(double v) {
  Pair p;
  for (int w = 0; w < WIDTH; ++w) p[w] = v;
  return p;
}

// 1 in the padding columns of the last vector of a row, 0 elsewhere.
inline Pair padding_ones() {
  Pair p;
  for (int w = 0; w < WIDTH; ++w) p[w] = (LANES - 1) * WIDTH + w >= N ? 1.0 : 0.0;
  return p;
}

// The loops over rows, columns and lanes have fixed short counts; unrolled,
// their values stay in registers (which -O2 alone does not arrange).
#define TARVO_UNROLL _Pragma("GCC unroll 25")

// c = a b.
inline void multiply(const Matrix& a, const Matrix& b, Matrix& c) {
  TARVO_UNROLL
  for (int i = 0; i < N; ++i) {
    Pair r[LANES];
    const Pair a0 = splat(a.get(i, 0));
    TARVO_UNROLL
    for (int l = 0; l < LANES; ++l) r[l] = a0 * b.row[0][l];
    TARVO_UNROLL
    for (int k = 1; k < N; ++k) {
      const Pair aik = splat(a.get(i, k));
      TARVO_UNROLL
      for (int l = 0; l < LANES; ++l) r[l] += aik * b.row[k][l];
    }
    TARVO_UNROLL
    for (int l = 0; l < LANES; ++l) c.row[i][l] = r[l];
  }
}

// c = a db + da b: the tangent of the product a b.
__attribute__((always_inline)) inline void multiply_tangent(const Matrix& a, const Matrix& da,
                                                            const Matrix& b, const Matrix& db,
                                                            Matrix& c) {
  TARVO_UNROLL
  for (int i = 0; i < N; ++i) {
    Pair r[LANES];
    const Pair a0 = splat(a.get(i, 0));
    const Pair da0 = splat(da.get(i, 0));
    TARVO_UNROLL
    for (int l = 0; l < LANES; ++l) r[l] = a0 * db.row[0][l] + da0 * b.row[0][l];
    TARVO_UNROLL
    for (int k = 1; k < N; ++k) {
      const Pair aik = splat(a.get(i, k));
      const Pair daik = splat(da.get(i, k));
      TARVO_UNROLL
      for (int l = 0; l < LANES; ++l) r[l] += aik * db.row[k][l] + daik * b.row[k][l];
    }
    TARVO_UNROLL
    for (int l = 0; l < LANES; ++l) c.row[i][l] = r[l];
  }
}

// out = c_4k I + c_4k+1 B + c_4k+2 B^2 + c_4k+3 B^3 (block k of the
// polynomial); without the identity term for a tangent.
inline void taylor_block(int k, const Matrix& b1, const Matrix& b2, const Matrix& b3,
                         bool identity, Matrix& out) {
  const double* c = TAYLOR + 4 * k;
  const Pair c1 = splat(c[1]), c2 = splat(c[2]), c3 = splat(c[3]);
  TARVO_UNROLL
  for (int i = 0; i < N; ++i) {
    TARVO_UNROLL
    for (int l = 0; l < LANES; ++l) {
      out.row[i][l] = (c1 * b1.row[i][l] + c2 * b2.row[i][l]) + c3 * b3.row[i][l];
    }
    if (identity) out.set(i, i, out.get(i, i) + c[0]);
  }
}

// a += b.
inline void add(Matrix& a, const Matrix& b) {
  TARVO_UNROLL
  for (int i = 0; i < N; ++i) {
    TARVO_UNROLL
    for (int l = 0; l < LANES; ++l) a.row[i][l] += b.row[i][l];
  }
}

// a *= f.
inline void scale_by(Matrix& a, double f) {
  const Pair v = splat(f);
  TARVO_UNROLL
  for (int i = 0; i < N; ++i) {
    TARVO_UNROLL
    for (int l = 0; l < LANES; ++l) a.row[i][l] *= v;
  }
}

// Row of each column's largest entry: the entry that takes up the column's
// rounding (where it changes least in relative terms).
struct Pivots {
  int row[N];
};

// Restore every column sum of x to `total` in its largest entry; returns where.
Pivots restore_column_sums(Matrix& x, double total) {
  Pivots pivots;
  TARVO_UNROLL
  for (int j = 0; j < N; ++j) {
    int k = 0;
    TARVO_UNROLL
    for (int i = 1; i < N; ++i) {
      if (std::fabs(x.get(i, j)) > std::fabs(x.get(k, j))) k = i;
    }
    double others = 0.0;
    TARVO_UNROLL
    for (int i = 0; i < N; ++i) {
      if (i != k) others += x.get(i, j);
    }
    x.set(k, j, total - others);
    pivots.row[j] = k;
  }
  return pivots;
}

// The tangent of restore_column_sums with the value's pivots: columns sum to 0.
void restore_column_sums_tangent(Matrix& dx, const Pivots& pivots) {
  TARVO_UNROLL
  for (int j = 0; j < N; ++j) {
    const int k = pivots.row[j];
    double others = 0.0;
    TARVO_UNROLL
    for (int i = 0; i < N; ++i) {
      if (i != k) others += dx.get(i, j);
    }
    dx.set(k, j, 0.0 - others);
  }
}

// Reciprocal column sums of a matrix (the padding column's counted as 1).
struct ColumnScale {
  Pair reciprocal[LANES];
};

// Divide every column of x by its sum, so that it sums to 1 to rounding:
// the squarings would otherwise double a column sum's rounding error each
// time. Returns the reciprocal sums for the tangents.
__attribute__((always_inline)) inline ColumnScale normalise_columns(Matrix& x) {
  ColumnScale scale;
  TARVO_UNROLL
  for (int l = 0; l < LANES; ++l) {
    Pair sum = x.row[0][l];
    TARVO_UNROLL
    for (int i = 1; i < N; ++i) sum += x.row[i][l];
    if (l == LANES - 1) sum += padding_ones();
    scale.reciprocal[l] = splat(1.0) / sum;
    TARVO_UNROLL
    for (int i = 0; i < N; ++i) x.row[i][l] *= scale.reciprocal[l];
  }
  return scale;
}

// Tangent of normalise_columns, with the normalised value x: for x' = x / s,
// dx' = (dx - x' ds) / s with ds the column sums of dx.
__attribute__((always_inline)) inline void normalise_columns_tangent(const Matrix& x,
                                                                     const ColumnScale& scale,
                                                                     Matrix& dx) {
  TARVO_UNROLL
  for (int l = 0; l < LANES; ++l) {
    Pair sum = dx.row[0][l];
    TARVO_UNROLL
    for (int i = 1; i < N; ++i) sum += dx.row[i][l];
    TARVO_UNROLL
    for (int i = 0; i < N; ++i) {
      dx.row[i][l] = (dx.row[i][l] - x.row[i][l] * sum) * scale.reciprocal[l];
    }
  }
}

Matrix load(const double* m) {
  Matrix a;
  TARVO_UNROLL
  for (int i = 0; i < N; ++i) {
    TARVO_UNROLL
    for (int l = 0; l < LANES; ++l) a.row[i][l] = splat(0.0);
    TARVO_UNROLL
    for (int j = 0; j < N; ++j) a.set(i, j, m[i * N + j]);
  }
  return a;
}

void store(const Matrix& a, double* m) {
  TARVO_UNROLL
  for (int i = 0; i < N; ++i) {
    TARVO_UNROLL
    for (int j = 0; j < N; ++j) m[i * N + j] = a.get(i, j);
  }
}

// The scale of one exponential.
struct Scaling {
  // Number of squarings s.
  int squarings = 0;
  // 2^-s.
  double factor = 1.0;
  // exp(-mu 2^-s).
  double shift_factor = 1.0;
  // mu 2^-s.
  double shift = 0.0;
  // False for a non-finite matrix.
  bool finite = true;
};

// b = (m + mu I) 2^-s.
Scaling shift_and_scale(const double* m, Matrix& b) {
  Scaling scaling;
  double mu = 0.0;
  bool finite = true;
  TARVO_UNROLL
  for (int e = 0; e < NN; ++e) finite = finite && std::isfinite(m[e]);
  if (!finite) {
    scaling.finite = false;
    return scaling;
  }
  TARVO_UNROLL
  for (int i = 0; i < N; ++i) mu = std::fmax(mu, -m[i * N + i]);
  b = load(m);
  TARVO_UNROLL
  for (int i = 0; i < N; ++i) b.set(i, i, b.get(i, i) + mu);
  double norm = 0.0;
  TARVO_UNROLL
  for (int j = 0; j < N; ++j) {
    double column = 0.0;
    TARVO_UNROLL
    for (int i = 0; i < N; ++i) column += std::fabs(b.get(i, j));
    norm = std::fmax(norm, column);
  }
  // The unshifted matrix must shrink below THETA too, for the average's series.
  norm = std::fmax(norm, mu);
  if (!(norm <= std::numeric_limits<double>::max())) {
    scaling.finite = false;
    return scaling;
  }
  if (norm > THETA) std::frexp(norm / THETA, &scaling.squarings);
  // A power of two: scaling by it is exact (the entries stay normal or zero).
  scaling.factor = std::ldexp(1.0, -scaling.squarings);
  scale_by(b, scaling.factor);
  scaling.shift = mu * scaling.factor;
  scaling.shift_factor = std::exp(-scaling.shift);
  return scaling;
}

// The polynomial's powers and Horner partial sums, kept for the tangents.
struct Polynomial {
  Matrix b1, b2, b3, b4;
  // z[k]: blocks k..3 summed by Horner's rule; z[0] is the whole polynomial.
  Matrix z[4];
};

// Paterson-Stockmeyer: six products for degree 15; `series` advances by
// two steps after each product (see AverageSeries).
template <class Series>
void evaluate_polynomial(Polynomial& poly, Series& series) {
  multiply(poly.b1, poly.b1, poly.b2);
  series.advance(2);
  multiply(poly.b2, poly.b1, poly.b3);
  series.advance(2);
  multiply(poly.b2, poly.b2, poly.b4);
  series.advance(2);
  taylor_block(3, poly.b1, poly.b2, poly.b3, true, poly.z[3]);
  Matrix block;
  for (int k = 2; k >= 0; --k) {
    multiply(poly.b4, poly.z[k + 1], poly.z[k]);
    taylor_block(k, poly.b1, poly.b2, poly.b3, true, block);
    add(poly.z[k], block);
    series.advance(2);
  }
}

// Tangents of evaluate_polynomial along db1[p]: dz[p] = dT, p < directions.
// The directions advance together, stage by stage: their products are
// independent, so the processor overlaps them (each entry's operations are
// those of one direction alone).
template <class Series>
void polynomial_tangents(const Polynomial& poly, const Matrix* db1, int directions, Matrix* dz,
                         Series& series) {
  Matrix db2[MAX_DIRECTIONS], db3[MAX_DIRECTIONS], db4[MAX_DIRECTIONS];
  for (int p = 0; p < directions; ++p) multiply_tangent(poly.b1, db1[p], poly.b1, db1[p], db2[p]);
  series.advance(1);
  for (int p = 0; p < directions; ++p) multiply_tangent(poly.b2, db2[p], poly.b1, db1[p], db3[p]);
  series.advance(1);
  for (int p = 0; p < directions; ++p) multiply_tangent(poly.b2, db2[p], poly.b2, db2[p], db4[p]);
  series.advance(1);
  for (int p = 0; p < directions; ++p) taylor_block(3, db1[p], db2[p], db3[p], false, dz[p]);
  for (int k = 2; k >= 0; --k) {
    for (int p = 0; p < directions; ++p) {
      Matrix block, product;
      multiply_tangent(poly.b4, db4[p], poly.z[k + 1], dz[p], product);
      taylor_block(k, db1[p], db2[p], db3[p], false, block);
      add(product, block);
      dz[p] = product;
    }
    series.advance(1);
  }
}

// Degree of the series of phi_1 at the scaled matrix (norm <= 2 THETA):
// its remainder 1/20! is far below the unit roundoff.
constexpr int AVERAGE_DEGREE = 18;

// Vectors per column of a matrix, and per 5-vector.
constexpr int COLUMN_LANES = (N + WIDTH - 1) / WIDTH;

// A 5-vector on whole vectors (padding zero).
struct Vector {
  Pair lane[COLUMN_LANES];
  double get(int i) const { return lane[i / WIDTH][i % WIDTH]; }
};

// A 5x5 matrix held by columns (padded with zero rows to whole vectors): the
// products with a 5-vector run on the lanes of its columns.
struct Columns {
  Pair column[N][COLUMN_LANES];
};

inline Columns transpose(const Matrix& a) {
  Columns t;
#if TARVO_KERNEL_WIDTH == 8
  // A padded row is one vector: shuffles of whole rows, lanes 5 to 7 taken
  // from the zero padding of row 4 (what they hold is never read).
  typedef long long Mask __attribute__((vector_size(64)));
  const Pair r0 = a.row[0][0], r1 = a.row[1][0], r2 = a.row[2][0], r3 = a.row[3][0];
  const Pair r4 = a.row[4][0];
  const Pair low01 = __builtin_shuffle(r0, r1, Mask{0, 8, 1, 9, 2, 10, 3, 11});
  const Pair low23 = __builtin_shuffle(r2, r3, Mask{0, 8, 1, 9, 2, 10, 3, 11});
  const Pair high01 = __builtin_shuffle(r0, r1, Mask{4, 12, 5, 13, 6, 14, 7, 15});
  const Pair high23 = __builtin_shuffle(r2, r3, Mask{4, 12, 5, 13, 6, 14, 7, 15});
  const Pair first4[2] = {__builtin_shuffle(low01, low23, Mask{0, 1, 8, 9, 2, 3, 10, 11}),
                          __builtin_shuffle(low01, low23, Mask{4, 5, 12, 13, 6, 7, 14, 15})};
  const Pair last = __builtin_shuffle(high01, high23, Mask{0, 1, 8, 9, 2, 3, 10, 11});
  // first4[h] holds columns 2h and 2h + 1 (rows 0-3 each); last column 4 (and 5).
  t.column[0][0] = __builtin_shuffle(first4[0], r4, Mask{0, 1, 2, 3, 8, 13, 14, 15});
  t.column[1][0] = __builtin_shuffle(first4[0], r4, Mask{4, 5, 6, 7, 9, 13, 14, 15});
  t.column[2][0] = __builtin_shuffle(first4[1], r4, Mask{0, 1, 2, 3, 10, 13, 14, 15});
  t.column[3][0] = __builtin_shuffle(first4[1], r4, Mask{4, 5, 6, 7, 11, 13, 14, 15});
  t.column[4][0] = __builtin_shuffle(last, r4, Mask{0, 1, 2, 3, 12, 13, 14, 15});
  return t;
#endif
  TARVO_UNROLL
  for (int j = 0; j < N; ++j) {
    TARVO_UNROLL
    for (int l = 0; l < COLUMN_LANES; ++l) t.column[j][l] = splat(0.0);
    TARVO_UNROLL
    for (int i = 0; i < N; ++i) {
      t.column[j][i / WIDTH] = with_lane(t.column[j][i / WIDTH], i % WIDTH, a.get(i, j));
    }
  }
  return t;
}

inline Vector load_vector(const double* v) {
  Vector x;
  TARVO_UNROLL
  for (int l = 0; l < COLUMN_LANES; ++l) x.lane[l] = splat(0.0);
  TARVO_UNROLL
  for (int i = 0; i < N; ++i) x.lane[i / WIDTH] = with_lane(x.lane[i / WIDTH], i % WIDTH, v[i]);
  return x;
}

inline void store_vector(const Vector& x, double* v) {
  TARVO_UNROLL
  for (int i = 0; i < N; ++i) v[i] = x.get(i);
}

// y = a v for a 5-vector v: every entry the sum over j in order, from 0,
// of a_ij v_j (the lanes of a column at once).
inline Vector apply(const Columns& a, const Vector& v) {
  Vector y;
  TARVO_UNROLL
  for (int l = 0; l < COLUMN_LANES; ++l) y.lane[l] = splat(0.0);
  TARVO_UNROLL
  for (int j = 0; j < N; ++j) {
    const Pair vj = splat(v.get(j));
    TARVO_UNROLL
    for (int l = 0; l < COLUMN_LANES; ++l) y.lane[l] += a.column[j][l] * vj;
  }
  return y;
}

// The unshifted scaled matrix C = B 2^-s - mu 2^-s I.
Matrix unshifted(const Matrix& b, const Scaling& scaling) {
  Matrix c = b;
  for (int i = 0; i < N; ++i) c.set(i, i, c.get(i, i) - scaling.shift);
  return c;
}

// The step average and its tangents while they are computed.
struct Average {
  Vector w;
  Vector dw[MAX_DIRECTIONS];
};

// w = phi_1(c) v by Horner's rule; dw[p] its tangent along dc[p] and dv[p].
// One Horner step at a time: each step waits for the one before, so the
// exponential runs the steps between the stages of its polynomials, whose
// independent products keep the processor busy meanwhile.
struct AverageSeries {
  Columns c;
  Columns dc[MAX_DIRECTIONS];
  Vector v;
  Vector dv[MAX_DIRECTIONS];
  int directions = 0;
  // The next Horner step (-1: done; the series is not wanted at all when
  // started with no average).
  int k = -1;
  Average* out = nullptr;

  void start(const Matrix& c_rows, const Matrix* dc_rows, int directions_in, const double* v_in,
             const double* dv_in, Average& average) {
    out = &average;
    directions = directions_in;
    c = transpose(c_rows);
    v = load_vector(v_in);
    const Pair top = splat(TAYLOR_TAIL[AVERAGE_DEGREE]);
    TARVO_UNROLL
    for (int l = 0; l < COLUMN_LANES; ++l) out->w.lane[l] = v.lane[l] * top;
    for (int p = 0; p < directions; ++p) {
      dc[p] = transpose(dc_rows[p]);
      dv[p] = load_vector(dv_in + p * N);
      TARVO_UNROLL
      for (int l = 0; l < COLUMN_LANES; ++l) out->dw[p].lane[l] = dv[p].lane[l] * top;
    }
    k = AVERAGE_DEGREE - 1;
  }

  // Up to `steps` more Horner steps.
  void advance(int steps) {
    for (; steps > 0 && k >= 0; --steps, --k) {
      Vector& w = out->w;
      const Pair coefficient = splat(TAYLOR_TAIL[k]);
      // Tangents first: they need the previous w.
      for (int p = 0; p < directions; ++p) {
        const Vector a = apply(dc[p], w);
        const Vector b = apply(c, out->dw[p]);
        TARVO_UNROLL
        for (int l = 0; l < COLUMN_LANES; ++l) {
          out->dw[p].lane[l] = (a.lane[l] + b.lane[l]) + dv[p].lane[l] * coefficient;
        }
      }
      const Vector next = apply(c, w);
      TARVO_UNROLL
      for (int l = 0; l < COLUMN_LANES; ++l) w.lane[l] = next.lane[l] + v.lane[l] * coefficient;
    }
  }

  void finish() { advance(AVERAGE_DEGREE); }
};

// One doubling of the average: phi_1(2X) v = (exp(X) w + w) / 2 with w = phi_1(X) v,
// e = exp(X) and de its tangents.
void double_average(const Matrix& e_rows, const Matrix* de_rows, int directions, Average& avg) {
  const Columns e = transpose(e_rows);
  const Pair half = splat(0.5);
  for (int p = 0; p < directions; ++p) {
    const Vector a = apply(transpose(de_rows[p]), avg.w);
    const Vector b = apply(e, avg.dw[p]);
    TARVO_UNROLL
    for (int l = 0; l < COLUMN_LANES; ++l) {
      avg.dw[p].lane[l] = half * ((a.lane[l] + b.lane[l]) + avg.dw[p].lane[l]);
    }
  }
  const Vector a = apply(e, avg.w);
  TARVO_UNROLL
  for (int l = 0; l < COLUMN_LANES; ++l) avg.w.lane[l] = half * (a.lane[l] + avg.w.lane[l]);
}

// Write the average (and its tangents) where the caller asked for it. Inlined:
// an out-of-line call here let the AVX copy return without clearing the upper
// halves of its registers, which slows every SSE instruction after it.
__attribute__((always_inline)) inline void store_average(const Average& avg, int directions,
                                                         StepAverage* average) {
  store_vector(avg.w, average->avg);
  for (int p = 0; p < directions; ++p) store_vector(avg.dw[p], average->davg + p * N);
}

void fill_nan(double* x, int count) {
  for (int e = 0; e < count; ++e) x[e] = std::numeric_limits<double>::quiet_NaN();
}

// What an exponential does with its result: keep the matrices (x and its
// tangents dx, row-major), or step populations n and their tangents dn with
// them (n <- x n, dn_p <- dx_p n + x dn_p with the old n, each entry summed
// over j in order from 0 on the lanes of the columns).
struct KeepMatrices {
  double* x;
  double* dx;
  void failed(int directions) {
    fill_nan(x, NN);
    fill_nan(dx, NN * directions);
  }
  void operator()(const Matrix& y, const Matrix* dy, int directions) {
    for (int p = 0; p < directions; ++p) store(dy[p], dx + p * NN);
    store(y, x);
  }
};

struct StepPopulations {
  double* n;
  double* dn;
  void failed(int directions) {
    fill_nan(n, N);
    fill_nan(dn, N * directions);
  }
  void operator()(const Matrix& y, const Matrix* dy, int directions) {
    const Columns x = transpose(y);
    for (int p = 0; p < directions; ++p) {
      const Columns dx = transpose(dy[p]);
      Vector sum;
      TARVO_UNROLL
      for (int l = 0; l < COLUMN_LANES; ++l) sum.lane[l] = splat(0.0);
      TARVO_UNROLL
      for (int j = 0; j < N; ++j) {
        const Pair nj = splat(n[j]);
        const Pair dnj = splat(dn[p * N + j]);
        TARVO_UNROLL
        for (int l = 0; l < COLUMN_LANES; ++l) {
          sum.lane[l] += dx.column[j][l] * nj + x.column[j][l] * dnj;
        }
      }
      store_vector(sum, dn + p * N);
    }
    store_vector(apply(x, load_vector(n)), n);
  }
};

template <class Output>
void exponential_into(const double* m, StepAverage* average, Output& out) {
  Polynomial poly;
  const Scaling scaling = shift_and_scale(m, poly.b1);
  if (!scaling.finite) {
    out.failed(0);
    if (average != nullptr) fill_nan(average->avg, N);
    return;
  }
  Average avg;
  AverageSeries series;
  if (average != nullptr) {
    series.start(unshifted(poly.b1, scaling), nullptr, 0, average->v, nullptr, avg);
  }
  evaluate_polynomial(poly, series);
  series.finish();
  Matrix y = poly.z[0];
  scale_by(y, scaling.shift_factor);
  normalise_columns(y);
  // Squarings alternate between y and other (a product cannot overwrite its factors).
  Matrix other;
  Matrix* now = &y;
  Matrix* next = &other;
  for (int i = 0; i < scaling.squarings; ++i) {
    if (average != nullptr) double_average(*now, nullptr, 0, avg);
    multiply(*now, *now, *next);
    normalise_columns(*next);
    Matrix* done = now;
    now = next;
    next = done;
  }
  restore_column_sums(*now, 1.0);
  out(*now, nullptr, 0);
  if (average != nullptr) store_average(avg, 0, average);
}

template <class Output>
void exponential_derivatives_into(const double* m, const double* dm, int directions,
                                  StepAverage* average, Output& out) {
  Polynomial poly;
  const Scaling scaling = shift_and_scale(m, poly.b1);
  if (!scaling.finite) {
    out.failed(directions);
    if (average != nullptr) {
      fill_nan(average->avg, N);
      fill_nan(average->davg, N * directions);
    }
    return;
  }
  // The shift mu is a constant of the identity exp(M) = exp(-mu) exp(M + mu I),
  // so the tangent of B is the tangent of M, scaled.
  Matrix dc[MAX_DIRECTIONS];
  for (int p = 0; p < directions; ++p) {
    dc[p] = load(dm + p * NN);
    scale_by(dc[p], scaling.factor);
  }
  Average avg;
  AverageSeries series;
  if (average != nullptr) {
    series.start(unshifted(poly.b1, scaling), dc, directions, average->v, average->dv, avg);
  }
  evaluate_polynomial(poly, series);
  // Each squaring reads one of two buffers of the value and of every
  // tangent and writes the other (a product cannot overwrite its factors).
  Matrix ys[2];
  Matrix dys[2][MAX_DIRECTIONS];
  int now = 0;
  ys[0] = poly.z[0];
  scale_by(ys[0], scaling.shift_factor);
  ColumnScale column_scale = normalise_columns(ys[0]);
  polynomial_tangents(poly, dc, directions, dys[0], series);
  for (int p = 0; p < directions; ++p) {
    scale_by(dys[0][p], scaling.shift_factor);
    normalise_columns_tangent(ys[0], column_scale, dys[0][p]);
  }
  series.finish();
  for (int i = 0; i < scaling.squarings; ++i) {
    const Matrix& y = ys[now];
    Matrix& next = ys[1 - now];
    if (average != nullptr) double_average(y, dys[now], directions, avg);
    // The value first: its column sums and their division then overlap
    // with the tangents' products, which do not need them.
    multiply(y, y, next);
    column_scale = normalise_columns(next);
    for (int p = 0; p < directions; ++p) {
      multiply_tangent(y, dys[now][p], y, dys[now][p], dys[1 - now][p]);
    }
    for (int p = 0; p < directions; ++p) normalise_columns_tangent(next, column_scale, dys[1 - now][p]);
    now = 1 - now;
  }
  Matrix& y = ys[now];
  const Pivots pivots = restore_column_sums(y, 1.0);
  for (int p = 0; p < directions; ++p) restore_column_sums_tangent(dys[now][p], pivots);
  out(y, dys[now], directions);
  if (average != nullptr) store_average(avg, directions, average);
}

void exponential(const double* m, double* x, StepAverage* average) {
  KeepMatrices out{x, nullptr};
  exponential_into(m, average, out);
}

void exponential_derivatives(const double* m, const double* dm, int directions, double* x,
                             double* dx, StepAverage* average) {
  KeepMatrices out{x, dx};
  exponential_derivatives_into(m, dm, directions, average, out);
}

void step(const double* m, const double* dm, int directions, double* n, double* dn,
          StepAverage* average) {
  StepPopulations out{n, dn};
  if (directions == 0) {
    exponential_into(m, average, out);
  } else {
    exponential_derivatives_into(m, dm, directions, average, out);
  }
}
