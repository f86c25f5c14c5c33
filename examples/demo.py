"""A short tour of tarsk_py: vectors, angles, quaternions, vector lists and
the geometry submodule."""
import tarsk_py
from tarsk_py import AngleDegrees, AngleRadians, Quat, Vec3d, VecList
from tarsk_py import geometry  # an attribute of tarsk_py, not an importable package

a = Vec3d(1.0, 2.0, 3.0)
b = Vec3d(0.5, -1.0, 2.0)
print("a =", a, " b =", b)
print("a + b =", a + b, " 2 * a =", 2 * a, " a . b =", a.dot(b), " a x b =", a.cross(b))
print("|a| =", a.magnitude(), " a normalised =", a.normalize())
print("division by zero stays IEEE:", a / 0)
print("tolerant equality: Vec3d(0.1 + 0.2, 0, 0) == Vec3d(0.3, 0, 0) ->",
      Vec3d(0.1 + 0.2, 0, 0) == Vec3d(0.3, 0, 0))

quarter = AngleRadians.half_pi()
print("half pi =", quarter, "=", quarter.to_degrees(), "; 60 degrees =", AngleDegrees(60).to_radians())
print("angle between i and j:", Vec3d.i().angle_to(Vec3d.j()))

q = Quat.from_axis_angle(Vec3d.k(), quarter)
print("rotation about z by a quarter turn:", q)
print("  turns i into", q.rotate(Vec3d.i()))

points = VecList([Vec3d(1, 0, 0), Vec3d(0, 3, 4), Vec3d(-2, 0, 0)])
print("a VecList:", repr(points).replace("\n", ", "))
print("  magnitudes:", points.magnitude())
print("  normalised:", repr(points.normalize()).replace("\n", ", "))
print("  nearest to (0, 2, 2):", points.minimum_distance_to(Vec3d(0, 2, 2), 1))

ground = geometry.Plane(Vec3d(0, 0, 1), 2.0)  # the plane z = 2
print("line through (0,0,0) and (1,1,1) meets z = 2 at", geometry.plane_line(ground, Vec3d.zero(), Vec3d(1, 1, 1)))
c1 = geometry.Circle(Vec3d(0, 0, 0), 1.0, Vec3d.k())
c2 = geometry.Circle(Vec3d(1, 0, 0), 1.0, Vec3d.k())
print("two unit circles cross at", geometry.circle_circle(c1, c2))
print("module contents:", tarsk_py.__all__, tarsk_py.geometry.__all__)
