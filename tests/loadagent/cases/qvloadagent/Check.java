package qvloadagent;

/** Assertions for the cases: a failed check ends the JVM with an error. */
public final class Check {
    private Check() {
    }

    public static void check(boolean condition, String message) {
        if (!condition) {
            throw new AssertionError(message);
        }
    }
}
