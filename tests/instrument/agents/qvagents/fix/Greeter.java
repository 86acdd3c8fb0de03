package qvagents.fix;

/** Loaded before an agent is installed: it can only change by retransformation. */
public final class Greeter {
    private Greeter() {
    }

    public static String greet() {
        return "hello";
    }
}
