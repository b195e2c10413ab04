import morvane

scene = morvane.Scene()
dummy, arm = scene.create("null", "dummy"), scene.create("quenlo", "arm")
arm.set_input(1, dummy)                       # the key dummy
arm.set("numkeys", 2)                         # keys 0, 1 and 2
for key, (driver, t, rz) in enumerate([(0, (0, 0, 0), 0), (0.5, (0, 2, 0), 45), (1, (1.5, 2.5, 0), 90)]):
    arm.set("driverval", driver)
    dummy.set("t", t); dummy.set("r", (0, 0, rz))  # pose the dummy as a user would
    arm.press("getkey%d" % key)               # Get key
sweep = arm.sweep(0, 1, 8)                    # 9 cooks from driver 0 to 1, into numpy
try:
    import matplotlib.pyplot as plt  # type: ignore[import]
    plt.plot(sweep["driver"], sweep["translate"][:, :2], sweep["driver"], sweep["rotate"][:, 2] / 45)
    plt.legend(["tx", "ty", "rz / 45"]), plt.xlabel("driverval"), plt.savefig("rig.png")
except ImportError:
    print("\n".join("%.3f t=%s rz=%.2f" % (r["driver"], r["translate"], r["rotate"][2]) for r in sweep))
