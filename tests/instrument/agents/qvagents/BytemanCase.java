package qvagents;

import java.util.ArrayList;
import java.util.Collections;
import java.util.List;
import qvagents.fix.Greeter;

/**
 * Byteman's agent, started on the JDK's Instrumentation ({@code -javaagent:byteman.jar=script:rules})
 * or by its premain on Quorvane's, with the same observable effect: a rule traces a
 * method of a class loaded later, another rewrites a method of a class loaded before.
 *
 * <p>Usage: {@code BytemanCase agent|quorvane <rules file>}
 */
public final class BytemanCase {
    /** What the tracing rule records. */
    private static final List<String> TRACED = Collections.synchronizedList(new ArrayList<>());

    private BytemanCase() {
    }

    /** Called by the rules. */
    public static void trace(String what) {
        TRACED.add(what);
    }

    public static void main(String[] args) throws Exception {
        Agents.check(Greeter.greet() != null, "Greeter loads before the agent");
        if (Agents.quorvane(args[0])) {
            org.jboss.byteman.agent.Main.premain("script:" + args[1], Agents.quorvaneInstrumentation());
        }
        Agents.check(Greeter.greet().equals("rewritten by byteman"), "a class loaded before: " + Greeter.greet());
        String later = Agents.greetLater("qvagents.fix.LaterGreeter");
        Agents.check(later.equals("hello"), "the traced method's result: " + later);
        Agents.check(TRACED.equals(List.of("LaterGreeter.greet")), "traced: " + TRACED);
        System.out.println("byteman on " + args[0] + "'s Instrumentation: traced on load, rewrote by retransformation");
    }
}
