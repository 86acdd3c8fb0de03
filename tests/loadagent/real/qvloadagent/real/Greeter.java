package qvloadagent.real;

/** Loaded before the agent starts (by the case's class initialization). */
public final class Greeter {
    private Greeter() {
    }

    public static String greet() {
        return "hello";
    }
}
