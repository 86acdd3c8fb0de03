package qvagents;

import java.lang.instrument.Instrumentation;

/** What the real-agent cases share: the two ways to an Instrumentation, and checks. */
final class Agents {
    private Agents() {
    }

    /** True when the case runs on Quorvane's Instrumentation, false on a -javaagent's. */
    static boolean quorvane(String mode) {
        switch (mode) {
            case "quorvane":
                return true;
            case "agent":
                return false;
            default:
                throw new IllegalArgumentException("mode: agent or quorvane, not " + mode);
        }
    }

    static Instrumentation quorvaneInstrumentation() {
        return qv.vantrel.quorvane.Quorvane.instrumentation();
    }

    static void check(boolean condition, String message) {
        if (!condition) {
            throw new AssertionError(message);
        }
    }

    static String greetLater(String className) throws ReflectiveOperationException {
        return (String) Class.forName(className).getMethod("greet").invoke(null);
    }
}
