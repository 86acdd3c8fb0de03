package qvloadagent.real;

/** How a real-agent case runs: agent started by -javaagent, or by Quorvane.loadAgent. */
final class Mode {
    private Mode() {
    }

    /** True for loadAgent, false for -javaagent. */
    static boolean loadAgent(String mode) {
        switch (mode) {
            case "loadagent":
                return true;
            case "javaagent":
                return false;
            default:
                throw new IllegalArgumentException("mode: javaagent or loadagent, not " + mode);
        }
    }

    static void check(boolean condition, String message) {
        if (!condition) {
            throw new AssertionError(message);
        }
    }
}
