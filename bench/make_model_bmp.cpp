// Writes a 1920x1080 24-bit BMP of one of the kinds of image a CAD program exports as a preview,
// from a fixed recipe (no randomness, or a fixed seed), so that the same compiler gives the same
// bytes:
//   flat     a small assembly (a plate, a cylindrical boss, a ball) ray-cast with Blinn-Phong
//            shading and 2x2 anti-aliasing on a flat light background (about 2,000 colours)
//   smooth   the same assembly on a vertical gradient background with a vignette, then blurred
//            with a 5x5 binomial kernel: smooth shading everywhere, many colours
//   photo    a photo-like texture: seeded diamond-square fractal terrain (one luminance field and
//            two weaker chroma fields), not white noise
//   indexed  the flat kind with every pixel taken to the nearest colour of a 6x6x6 colour cube:
//            at most 216 colours
//
//   make_model_bmp OUT.bmp [WIDTH HEIGHT [KIND]]      (default 1920 1080 flat)
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

namespace {

struct Vec {
  double x, y, z;
};
Vec operator+(Vec a, Vec b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
Vec operator-(Vec a, Vec b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
Vec operator*(Vec a, double s) { return {a.x * s, a.y * s, a.z * s}; }
double Dot(Vec a, Vec b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
Vec Cross(Vec a, Vec b) {
  return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}
Vec Unit(Vec a) { return a * (1.0 / std::sqrt(Dot(a, a))); }

struct Hit {
  double t;
  Vec normal;
  Vec colour;  // linear RGB
  double shine;
};

void Keep(std::optional<Hit>& best, double t, Vec normal, Vec colour, double shine) {
  if (t > 1e-6 && (!best || t < best->t)) best = Hit{t, normal, colour, shine};
}

// The plate: an axis-aligned box, by the slab method.
void HitBox(Vec o, Vec d, Vec lo, Vec hi, Vec colour, std::optional<Hit>& best) {
  double tNear = -1e30, tFar = 1e30;
  Vec normal{0, 0, 0};
  const double os[3] = {o.x, o.y, o.z}, ds[3] = {d.x, d.y, d.z};
  const double los[3] = {lo.x, lo.y, lo.z}, his[3] = {hi.x, hi.y, hi.z};
  for (int axis = 0; axis < 3; ++axis) {
    if (std::fabs(ds[axis]) < 1e-12) {
      if (os[axis] < los[axis] || os[axis] > his[axis]) return;
      continue;
    }
    double t1 = (los[axis] - os[axis]) / ds[axis], t2 = (his[axis] - os[axis]) / ds[axis];
    double sign = -1;
    if (t1 > t2) std::swap(t1, t2), sign = 1;
    if (t1 > tNear) {
      tNear = t1;
      normal = Vec{0, 0, 0};
      (axis == 0 ? normal.x : axis == 1 ? normal.y : normal.z) = sign;
    }
    tFar = std::min(tFar, t2);
    if (tNear > tFar) return;
  }
  Keep(best, tNear, normal, colour, 40);
}

// The boss: a cylinder on the y axis through (cx, cz), closed by its top cap.
void HitCylinder(Vec o, Vec d, double cx, double cz, double r, double y0, double y1, Vec colour,
                 std::optional<Hit>& best) {
  const double ox = o.x - cx, oz = o.z - cz;
  const double a = d.x * d.x + d.z * d.z, b = 2 * (ox * d.x + oz * d.z),
               c = ox * ox + oz * oz - r * r;
  const double disc = b * b - 4 * a * c;
  if (a > 1e-12 && disc >= 0) {
    const double t = (-b - std::sqrt(disc)) / (2 * a);
    const double y = o.y + t * d.y;
    if (y >= y0 && y <= y1) Keep(best, t, Unit(Vec{ox + t * d.x, 0, oz + t * d.z}), colour, 60);
  }
  if (std::fabs(d.y) > 1e-12) {
    const double t = (y1 - o.y) / d.y;
    const double x = ox + t * d.x, z = oz + t * d.z;
    if (x * x + z * z <= r * r) Keep(best, t, Vec{0, 1, 0}, colour, 60);
  }
}

void HitSphere(Vec o, Vec d, Vec centre, double r, Vec colour, std::optional<Hit>& best) {
  const Vec oc = o - centre;
  const double b = Dot(oc, d), c = Dot(oc, oc) - r * r, disc = b * b - c;
  if (disc < 0) return;
  const double t = -b - std::sqrt(disc);
  Keep(best, t, Unit(oc + d * t), colour, 90);
}

// Linear light in, sRGB out.
double Encode(double linear) {
  linear = std::clamp(linear, 0.0, 1.0);
  return linear <= 0.0031308 ? 12.92 * linear : 1.055 * std::pow(linear, 1 / 2.4) - 0.055;
}

void PutLe(std::vector<std::uint8_t>& out, std::uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

// A small random number generator with a fixed seed (splitmix64), the same on every platform.
class Random {
 public:
  explicit Random(std::uint64_t seed) : state_(seed) {}
  double Next() {  // uniform in [-1, 1)
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15u);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
    z ^= z >> 31;
    return static_cast<double>(z >> 11) / 4503599627370496.0 - 1.0;
  }

 private:
  std::uint64_t state_;
};

// A diamond-square fractal field on a (2^n + 1)-square grid, values about in [-1, 1]. Each halving
// of the step scales the displacement by `roughness`.
std::vector<double> Fractal(int size, std::uint64_t seed, double roughness) {
  const auto at = [size](int x, int y) { return static_cast<std::size_t>(y) * size + x; };
  std::vector<double> f(static_cast<std::size_t>(size) * size, 0.0);
  Random random(seed);
  double amplitude = 1.0;
  for (int step = size - 1; step > 1; step /= 2, amplitude *= roughness) {
    const int half = step / 2;
    for (int y = half; y < size; y += step) {  // diamond: centres of the squares
      for (int x = half; x < size; x += step) {
        f[at(x, y)] = (f[at(x - half, y - half)] + f[at(x + half, y - half)] +
                       f[at(x - half, y + half)] + f[at(x + half, y + half)]) /
                          4 +
                      amplitude * random.Next();
      }
    }
    for (int y = 0; y < size; y += half) {  // square: the edge midpoints
      for (int x = (y / half) % 2 == 0 ? half : 0; x < size; x += step) {
        double sum = 0;
        int n = 0;
        if (x >= half) sum += f[at(x - half, y)], ++n;
        if (x + half < size) sum += f[at(x + half, y)], ++n;
        if (y >= half) sum += f[at(x, y - half)], ++n;
        if (y + half < size) sum += f[at(x, y + half)], ++n;
        f[at(x, y)] = sum / n + amplitude * random.Next();
      }
    }
  }
  return f;
}

// The field scaled to [0, 1].
std::vector<double> Normalised(std::vector<double> f) {
  const auto [low, high] = std::minmax_element(f.begin(), f.end());
  const double lo = *low, span = *high - *low;
  for (double& v : f) v = (v - lo) / span;
  return f;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2 && argc != 4 && argc != 5) {
    std::fprintf(stderr,
                 "usage: make_model_bmp OUT.bmp [WIDTH HEIGHT [flat|smooth|photo|indexed]]\n");
    return 2;
  }
  const int width = argc >= 4 ? std::atoi(argv[2]) : 1920;
  const int height = argc >= 4 ? std::atoi(argv[3]) : 1080;
  if (width <= 0 || height <= 0 || width > 20000 || height > 20000) return 2;
  const std::string kind = argc == 5 ? argv[4] : "flat";
  if (kind != "flat" && kind != "smooth" && kind != "photo" && kind != "indexed") return 2;

  // The image in linear light, top row first.
  std::vector<Vec> image(static_cast<std::size_t>(width) * static_cast<std::size_t>(height));
  const auto pixel = [&](int col, int row) -> Vec& {
    return image[static_cast<std::size_t>(row) * static_cast<std::size_t>(width) +
                 static_cast<std::size_t>(col)];
  };

  if (kind == "photo") {
    int size = 2;
    while (size < width || size < height) size *= 2;
    ++size;
    // Rough fields: each halving of the scale keeps most of the detail, as in foliage or rock.
    const std::vector<double> light = Normalised(Fractal(size, 1, 0.8));
    const std::vector<double> warm = Normalised(Fractal(size, 2, 0.7));
    const std::vector<double> green = Normalised(Fractal(size, 3, 0.7));
    for (int row = 0; row < height; ++row) {
      for (int col = 0; col < width; ++col) {
        const std::size_t i = static_cast<std::size_t>(row) * size + col;
        const double l = 0.02 + 0.6 * light[i] * light[i];
        const double w = 0.5 * (warm[i] - 0.5), g = 0.4 * (green[i] - 0.5);
        pixel(col, row) = Vec{l * (1 + w - g), l * (1 + g), l * (1 - w - g / 2)};
      }
    }
  } else {
    const Vec flatBackground{0.86, 0.88, 0.91};  // linear; about (239, 241, 245) in sRGB
    const Vec eye{6.5, 5.0, 8.5}, target{0.0, 0.9, 0.0};
    const Vec forward = Unit(target - eye);
    const Vec right = Unit(Cross(forward, Vec{0, 1, 0}));
    const Vec up = Cross(right, forward);
    const double halfHeight = std::tan(30.0 * 3.141592653589793 / 360.0);  // 30 degrees
    const double halfWidth = halfHeight * width / height;
    const Vec key = Unit(Vec{0.5, 1.0, 0.7}), fill = Unit(Vec{-0.7, 0.3, 0.4});

    // The smooth kind's background: a vertical gradient, darker towards the corners.
    const auto background = [&](double u, double v) {
      if (kind != "smooth") return flatBackground;
      const double t = (1 - v) / 2;
      const Vec top{0.55, 0.62, 0.80}, bottom{0.12, 0.13, 0.17};
      const double vignette = 1 - 0.35 * std::min(1.0, (u * u + v * v) / 2);
      return (top * (1 - t) + bottom * t) * vignette;
    };
    const auto shade = [&](double u, double v) {
      const Vec d = Unit(forward + right * (u * halfWidth) + up * (v * halfHeight));
      std::optional<Hit> best;
      HitBox(eye, d, Vec{-3.2, 0.0, -2.0}, Vec{3.2, 0.5, 2.0}, Vec{0.30, 0.33, 0.37}, best);
      HitCylinder(eye, d, -1.3, 0.0, 1.0, 0.5, 2.3, Vec{0.62, 0.30, 0.08}, best);
      HitSphere(eye, d, Vec{1.7, 1.4, 0.3}, 0.9, Vec{0.08, 0.22, 0.55}, best);
      if (!best) return background(u, v);
      const Vec n = best->normal, view = d * -1.0;
      Vec light = best->colour * 0.12;  // ambient
      const Vec lights[2] = {key, fill};
      const double strength[2] = {0.85, 0.30};
      for (int i = 0; i < 2; ++i) {
        const double diffuse = std::max(0.0, Dot(n, lights[i]));
        const Vec half = Unit(lights[i] + view);
        const double specular =
            diffuse > 0 ? std::pow(std::max(0.0, Dot(n, half)), best->shine) : 0;
        light = light + best->colour * (diffuse * strength[i]) +
                Vec{1, 1, 1} * (0.35 * specular * strength[i]);
      }
      return light;
    };
    for (int row = 0; row < height; ++row) {
      for (int col = 0; col < width; ++col) {
        Vec sum{0, 0, 0};
        for (int sy = 0; sy < 2; ++sy) {
          for (int sx = 0; sx < 2; ++sx) {
            const double u = 2.0 * (col + 0.25 + 0.5 * sx) / width - 1.0;
            const double v = 1.0 - 2.0 * (row + 0.25 + 0.5 * sy) / height;
            sum = sum + shade(u, v);
          }
        }
        pixel(col, row) = sum * 0.25;
      }
    }
  }

  if (kind == "smooth") {  // a 5x5 binomial blur, one direction at a time, edges clamped
    const double weights[5] = {1 / 16.0, 4 / 16.0, 6 / 16.0, 4 / 16.0, 1 / 16.0};
    for (const bool across : {true, false}) {
      const std::vector<Vec> source = image;
      for (int row = 0; row < height; ++row) {
        for (int col = 0; col < width; ++col) {
          Vec sum{0, 0, 0};
          for (int k = -2; k <= 2; ++k) {
            const int c = across ? std::clamp(col + k, 0, width - 1) : col;
            const int r = across ? row : std::clamp(row + k, 0, height - 1);
            sum = sum + source[static_cast<std::size_t>(r) * static_cast<std::size_t>(width) +
                               static_cast<std::size_t>(c)] *
                            weights[k + 2];
          }
          pixel(col, row) = sum;
        }
      }
    }
  }

  // sRGB bytes; the indexed kind takes each channel to the nearest of 6 levels (0, 51, ..., 255).
  const auto bytes = [&](double linear) {
    const long value = std::lround(255 * Encode(linear));
    return static_cast<std::uint8_t>(kind == "indexed" ? (value + 25) / 51 * 51 : value);
  };

  // BMP: 14-byte file header, 40-byte info header, rows bottom-up, BGR, each row padded to 4.
  const std::uint32_t rowBytes = (static_cast<std::uint32_t>(width) * 3 + 3) & ~3u;
  const std::uint32_t pixelBytes = rowBytes * static_cast<std::uint32_t>(height);
  std::vector<std::uint8_t> bmp;
  bmp.reserve(54 + pixelBytes);
  bmp.push_back('B');
  bmp.push_back('M');
  PutLe(bmp, 54 + pixelBytes, 4);
  PutLe(bmp, 0, 4);
  PutLe(bmp, 54, 4);
  PutLe(bmp, 40, 4);
  PutLe(bmp, static_cast<std::uint32_t>(width), 4);
  PutLe(bmp, static_cast<std::uint32_t>(height), 4);
  PutLe(bmp, 1, 2);
  PutLe(bmp, 24, 2);
  PutLe(bmp, 0, 4);  // BI_RGB
  PutLe(bmp, pixelBytes, 4);
  PutLe(bmp, 2835, 4);  // 72 dpi
  PutLe(bmp, 2835, 4);
  PutLe(bmp, 0, 4);
  PutLe(bmp, 0, 4);

  for (int row = height - 1; row >= 0; --row) {  // bottom-up
    const std::size_t start = bmp.size();
    for (int col = 0; col < width; ++col) {
      const Vec c = pixel(col, row);
      bmp.push_back(bytes(c.z));
      bmp.push_back(bytes(c.y));
      bmp.push_back(bytes(c.x));
    }
    bmp.resize(start + rowBytes, 0);
  }

  std::FILE* out = std::fopen(argv[1], "wb");
  if (out == nullptr) return 1;
  const bool ok = std::fwrite(bmp.data(), 1, bmp.size(), out) == bmp.size();
  return std::fclose(out) == 0 && ok ? 0 : 1;
}
