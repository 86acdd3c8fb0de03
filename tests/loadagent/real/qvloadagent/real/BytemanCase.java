package qvloadagent.real;

import java.util.ArrayList;
import java.util.Collections;
import java.util.List;
import qv.vantrel.quorvane.Quorvane;

/**
 * Byteman's agent jar as it ships, with a rule script, started by
 * {@code -javaagent:byteman.jar=script:<rules>} or by {@code Quorvane.loadAgent} as the
 * first statement of main, with the same observable effect: a rule traces a method of a
 * class loaded later, another rewrites one of a class loaded before the call. byteman.jar
 * is not on the class path: the JVM or loadAgent appends it.
 *
 * <p>Usage: {@code BytemanCase javaagent|loadagent <byteman.jar> <rules file>}
 */
public final class BytemanCase {
    private static final List<String> TRACED = Collections.synchronizedList(new ArrayList<>());
    /** Loads Greeter before main runs. */
    private static final String FIRST_GREETING = Greeter.greet();

    private BytemanCase() {
    }

    /** Called by the tracing rule. */
    public static void trace(String what) {
        TRACED.add(what);
    }

    public static void main(String[] args) throws Exception {
        if (Mode.loadAgent(args[0])) {
            Quorvane.loadAgent(args[1], "script:" + args[2]);
        }
        Mode.check(FIRST_GREETING != null, "Greeter was loaded before");
        Class<?> agent = Class.forName("org.jboss.byteman.agent.Main");
        Mode.check(agent.getClassLoader() == ClassLoader.getSystemClassLoader(), "Byteman's loader: " + agent.getClassLoader());
        String before = Greeter.greet();
        Mode.check(before.equals("rewritten by byteman"), "a class loaded before: " + before);
        String later = LaterGreeter.greet();
        Mode.check(later.equals("hello"), "the traced method's result: " + later);
        Mode.check(TRACED.equals(List.of("LaterGreeter.greet")), "traced: " + TRACED);
        System.out.println("byteman by " + args[0] + ": traced a class loaded later, rewrote one loaded before");
    }
}
