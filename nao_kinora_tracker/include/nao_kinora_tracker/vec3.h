// Three-vector arithmetic for skeletons: points and directions in metres.
#ifndef NAO_KINORA_TRACKER_VEC3_H
#define NAO_KINORA_TRACKER_VEC3_H

#include <cmath>

namespace nao_kinora_tracker
{
struct Vec3
{
  double x = 0.0;
  double y = 0.0;
  double z = 0.0;
};

inline Vec3 vec(double x, double y, double z)
{
  Vec3 v;
  v.x = x;
  v.y = y;
  v.z = z;
  return v;
}
inline Vec3 operator+(const Vec3& a, const Vec3& b)
{
  return vec(a.x + b.x, a.y + b.y, a.z + b.z);
}
inline Vec3 operator-(const Vec3& a, const Vec3& b)
{
  return vec(a.x - b.x, a.y - b.y, a.z - b.z);
}
inline Vec3 operator*(double s, const Vec3& a)
{
  return vec(s * a.x, s * a.y, s * a.z);
}
inline double dot(const Vec3& a, const Vec3& b)
{
  return a.x * b.x + a.y * b.y + a.z * b.z;
}
inline Vec3 cross(const Vec3& a, const Vec3& b)
{
  return vec(a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x);
}
inline double norm(const Vec3& a)
{
  return std::sqrt(dot(a, a));
}
// a / |a|; the zero vector stays zero (callers check lengths before they rely on it).
inline Vec3 unit(const Vec3& a)
{
  const double n = norm(a);
  return n > 0.0 ? (1.0 / n) * a : a;
}

// Rotation of v by angle (radians) about the unit axis k (Rodrigues).
inline Vec3 rotate(const Vec3& v, const Vec3& k, double angle)
{
  const double c = std::cos(angle), s = std::sin(angle);
  return c * v + s * cross(k, v) + ((1.0 - c) * dot(k, v)) * k;
}

const double kPi = 3.14159265358979323846;
inline double degrees(double radians)
{
  return radians * 180.0 / kPi;
}
inline double radians(double degrees)
{
  return degrees * kPi / 180.0;
}
}  // namespace nao_kinora_tracker

#endif  // NAO_KINORA_TRACKER_VEC3_H
