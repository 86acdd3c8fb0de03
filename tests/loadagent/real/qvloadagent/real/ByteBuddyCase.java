package qvloadagent.real;

import java.lang.instrument.Instrumentation;
import qv.vantrel.quorvane.Quorvane;

/**
 * Byte Buddy's agent jar as it ships, started by {@code -javaagent:byte-buddy-agent.jar} or
 * by {@code Quorvane.loadAgent} as the first statement of main, with the same observable
 * effect: {@code ByteBuddyAgent.getInstrumentation()} answers, {@code install()} returns
 * the same without attaching (the JVM runs with attaching disabled), and the
 * Instrumentation advises a class loaded later as it loads and one loaded before the
 * call by retransformation. byte-buddy-agent.jar is not on the class path: the JVM or
 * loadAgent appends it, and only then is Byte Buddy's code (in {@link ByteBuddyWork})
 * loaded.
 *
 * <p>Usage: {@code ByteBuddyCase javaagent|loadagent <byte-buddy-agent.jar>}
 */
public final class ByteBuddyCase {
    private static final String FIRST_GREETING = Greeter.greet();

    private ByteBuddyCase() {
    }

    public static void main(String[] args) throws Exception {
        boolean loadAgent = Mode.loadAgent(args[0]);
        if (loadAgent) {
            Quorvane.loadAgent(args[1], null);
        }
        Mode.check(FIRST_GREETING.equals("hello"), "Greeter was loaded before");
        Instrumentation inst = ByteBuddyWork.installed();
        Mode.check(inst.isRetransformClassesSupported() && inst.isRedefineClassesSupported()
                && inst.isNativeMethodPrefixSupported(), "the grants of byte-buddy-agent.jar's manifest");
        if (loadAgent) {
            Mode.check(inst != Quorvane.instrumentation(), "the agent got the shared Instrumentation");
        }
        ByteBuddyWork.advise(inst);
        System.out.println("byte buddy by " + args[0] + ": its agent's Instrumentation without attaching, advised on load "
                + "and by retransformation");
    }
}
