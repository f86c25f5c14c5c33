"""A short tour of tarsk_py: vectors, their exact arithmetic and text form."""
import tarsk_py
from tarsk_py import Vec3d

a = Vec3d(1.0, 2.0, 3.0)
b = Vec3d(0.5, -1.0, 2.0)

print("a =", a)
print("b =", b)
print("a + b =", a + b)
print("2 * a =", 2 * a)
print("a . b =", a.dot(b))
print("a x b =", a.cross(b))
print("|a| =", a.magnitude())
print("a normalised =", a.normalize(), "unit:", a.normalize().is_unit())
print("distance from a to the line through 0 and b =", a.distance_to_line(Vec3d.zero(), b))
print("division by zero stays IEEE:", a / 0)
print("tolerant equality: Vec3d(0.1 + 0.2, 0, 0) == Vec3d(0.3, 0, 0) ->",
      Vec3d(0.1 + 0.2, 0, 0) == Vec3d(0.3, 0, 0))
print("module contents:", tarsk_py.__all__)
