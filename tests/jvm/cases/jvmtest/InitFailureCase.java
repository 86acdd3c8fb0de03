package jvmtest;

import java.util.List;
import qv.vantrel.quorvane.Quorvane;

/**
 * initNative fails when the upcall cannot be found, says why in two error lines, and leaves
 * class loading alone. Argument "no-remap-class": the class path lacks the Remap class;
 * "no-remap-method": a Remap class without remap(String, byte[]) comes first on it. This
 * class must not touch Remap itself.
 */
public final class InitFailureCase {
    private static final String REMAP = "qv.vantrel.quorvane.remapper.Remap";

    private InitFailureCase() {
    }

    public static void main(String[] args) {
        Check.run("init-failure", args, a -> {
            boolean classAbsent = a[0].equals("no-remap-class");
            checkClassPath(classAbsent);
            Check.that(Quorvane.addInclude("fixture/"), "addInclude returned false");

            Check.that(!Quorvane.initNative(), "initNative returned true");

            Check.equal(ClassFiles.ORIGINAL, Fixtures.run("fixture.Greeter"), "fixture.Greeter.get()");
            List<AgentLog.Line> log = AgentLog.checkedFile("info", "error");
            String cause = classAbsent
                    ? "[Quorvane] FindClass failed: qv/vantrel/quorvane/remapper/Remap"
                    : "[Quorvane] GetStaticMethodID failed: qv/vantrel/quorvane/remapper/Remap.remap";
            List<AgentLog.Line> errors = log.stream().filter(l -> l.level().equals("error")).toList();
            Check.equal(List.of(new AgentLog.Line("error", cause),
                    new AgentLog.Line("error", "[Quorvane] initNative: failed to cache static declarations")),
                    errors, "error lines");
            // The hook stays inert: it neither passes over nor remaps anything.
            AgentLog.none(log, "Skipped by filter");
            AgentLog.none(log, "Remapped:");
            AgentLog.none(log, "Cached static declarations");
            AgentLog.none(log, "Quorvane is initialized.");
        });
    }

    // The case means something only if the class path is what its argument says.
    private static void checkClassPath(boolean classAbsent) throws NoSuchMethodException {
        Class<?> remap;
        try {
            remap = Class.forName(REMAP);
        } catch (ClassNotFoundException e) {
            Check.that(classAbsent, "%s is not on the class path", REMAP);
            return;
        }
        Check.that(!classAbsent, "%s is on the class path", REMAP);
        for (var method : remap.getDeclaredMethods()) {
            Check.that(!(method.getName().equals("remap") && method.getParameterCount() == 2),
                    "%s on the class path has %s", REMAP, method);
        }
        remap.getDeclaredMethod("remap", String.class);
    }
}
