package qvobserve;

import static qvobserve.Observed.ALPHA;
import static qvobserve.Observed.BETA;
import static qvobserve.Observed.check;

import java.lang.instrument.ClassDefinition;
import java.lang.instrument.ClassFileTransformer;
import java.lang.instrument.Instrumentation;
import java.security.ProtectionDomain;
import java.util.ArrayList;
import java.util.Collections;
import java.util.List;
import java.util.Map;
import java.util.TreeMap;
import java.util.concurrent.atomic.AtomicBoolean;
import jdk.jfr.Event;
import jdk.jfr.Name;
import jdk.jfr.Recording;
import jdk.jfr.StackTrace;
import jdk.jfr.consumer.RecordedEvent;
import qv.vantrel.quorvane.Quorvane;
import qv.vantrel.quorvane.remapper.Remap;
import qvobserve.oracle.OracleAgent;

/**
 * The cause of each call (load, redefine, retransform) against the JDK's own route: the
 * tests' -javaagent (OracleAgent) has a transformer of each kind, and the JDK tells by
 * classBeingRedefined and by which of them it runs why a class passes. Each step loads,
 * redefines or retransforms Alpha, through the JDK's Instrumentation, through Quorvane's
 * and through Quorvane.retransform, in a recording of its own; Quorvane's transformers
 * must run when the JDK's of the same kind run, and every ClassTransform event must name
 * the JDK's cause. One exception, as the README says: Remap's route shows a
 * redefinition or retransformation that another agent makes as a load.
 *
 * <p>One recording holds every step, each begun by a Step event: on JDK 17, names in a
 * later recording of the same JVM may read null (see the README).
 */
public final class CausesCase {
    private CausesCase() {
    }

    /** Quorvane's Instrumentation's transformers: they change nothing, their events tell the cause. */
    static final class Plain implements ClassFileTransformer {
        @Override
        public byte[] transform(ClassLoader loader, String name, Class<?> redefined, ProtectionDomain domain,
                byte[] classFile) {
            return null;
        }
    }

    static final class Retransformable implements ClassFileTransformer {
        @Override
        public byte[] transform(ClassLoader loader, String name, Class<?> redefined, ProtectionDomain domain,
                byte[] classFile) {
            return null;
        }
    }

    /** Remap's transformer: rewrites Alpha, and once asked, loads Beta while it does. */
    static final class Nesting implements Remap.Transformer {
        final AtomicBoolean loadBeta = new AtomicBoolean();
        private final Observed.Greeting greeting = new Observed.Greeting();

        @Override
        public byte[] transform(String internalName, byte[] classBytes) throws Exception {
            if (internalName.equals(ALPHA) && loadBeta.getAndSet(false)) {
                Observed.fixtures().loadClass("qvobserve.fix.Beta");
            }
            return greeting.transform(internalName, classBytes);
        }
    }

    interface Action {
        void run() throws Exception;
    }

    /** Where a step begins, in the recording. */
    @Name("qvobserve.Step")
    @StackTrace(false)
    static final class Step extends Event {
        String name;
    }

    private static final Map<String, List<String>> EXPECTED = new java.util.LinkedHashMap<>();

    public static void main(String[] args) {
        Observed.run("causes", args, a -> {
            Instrumentation jdk = OracleAgent.instrumentation();
            check(jdk != null, "no -javaagent: the oracle is missing");
            Quorvane.addInclude(ALPHA);
            Quorvane.addInclude(BETA);
            Nesting nesting = new Nesting();
            Remap.setTransformer(nesting);
            check(Quorvane.initNative(), "initNative failed");
            Instrumentation quorvane = Quorvane.instrumentation();
            quorvane.addTransformer(new Plain());
            quorvane.addTransformer(new Retransformable(), true);
            byte[] alphaFile = Observed.classFile(ALPHA);
            Class<?>[] alpha = new Class<?>[1];
            Recording recording = Recordings.start(true, "qvobserve.Step");

            step("load", false, () -> alpha[0] = Observed.fixtures().loadClass("qvobserve.fix.Alpha"));
            step("the JDK's retransformClasses", true, () -> jdk.retransformClasses(alpha[0]));
            step("the JDK's redefineClasses", true, () -> jdk.redefineClasses(new ClassDefinition(alpha[0], alphaFile)));
            step("Quorvane.retransform, Remap's transformer loading Beta", false, () -> {
                nesting.loadBeta.set(true);
                check(Quorvane.retransform(alpha[0]) == 1, "not retransformed");
            });
            step("Quorvane's redefineClasses", false,
                    () -> quorvane.redefineClasses(new ClassDefinition(alpha[0], alphaFile)));
            step("Quorvane's retransformClasses", false, () -> quorvane.retransformClasses(alpha[0]));
            check(Observed.greeting(alpha[0]).equals(Observed.HELLO_WORLD), "Alpha lost its rewrite");
            compare(Recordings.stop(recording, "causes.jfr"));
        });
    }

    /**
     * Runs one step, and keeps what Quorvane's events of it must say, from what the JDK's
     * transformers saw in it.
     *
     * @param anotherAgent whether the JDK's Instrumentation makes the step's change
     */
    private static void step(String name, boolean anotherAgent, Action action) throws Exception {
        OracleAgent.drain();
        Step step = new Step();
        step.name = name;
        step.commit();
        action.run();
        EXPECTED.put(name, expected(OracleAgent.drain(), anotherAgent));
    }

    // Each step's fixture events against what it expects.
    private static void compare(List<RecordedEvent> events) {
        Map<String, List<String>> recorded = new java.util.LinkedHashMap<>();
        String step = null;
        for (RecordedEvent event : events) {
            if (event.getEventType().getName().equals("qvobserve.Step")) {
                step = event.getString("name");
                recorded.put(step, new ArrayList<>());
            } else if (event.getEventType().getName().equals(Recordings.CLASS_TRANSFORM)
                    && Observed.isFixture(event.getString("className"))) {
                check(step != null, "an event before the first step: %s", event);
                recorded.get(step).add(event.getString("route") + " "
                        + Recordings.simpleName(event.getString("transformer")) + " " + event.getString("className")
                        + " " + event.getString("cause"));
            }
        }
        check(recorded.keySet().equals(EXPECTED.keySet()), "steps recorded: %s", recorded.keySet());
        for (Map.Entry<String, List<String>> entry : EXPECTED.entrySet()) {
            List<String> calls = recorded.get(entry.getKey());
            Collections.sort(calls);
            check(calls.equals(entry.getValue()), "%s: recorded%n  %s%nexpected from the JDK's transformers%n  %s",
                    entry.getKey(), String.join("\n  ", calls), String.join("\n  ", entry.getValue()));
            System.out.println(entry.getKey() + ": " + String.join("; ", calls));
        }
    }

    // The events Quorvane's transformers must leave, from what the JDK's saw: for each
    // class, the kinds of transformer that ran and the cause (no class being redefined:
    // a load; the transformer without retransformation ran: a redefinition; else a
    // retransformation).
    private static List<String> expected(List<String> seen, boolean anotherAgent) {
        Map<String, List<String>> kinds = new TreeMap<>();
        Map<String, Boolean> redefined = new TreeMap<>();
        for (String line : seen) {
            String[] parts = line.split(" ");
            kinds.computeIfAbsent(parts[1], k -> new ArrayList<>()).add(parts[0]);
            redefined.merge(parts[1], Boolean.parseBoolean(parts[2]), Boolean::logicalOr);
        }
        List<String> expected = new ArrayList<>();
        for (Map.Entry<String, List<String>> entry : kinds.entrySet()) {
            String type = entry.getKey();
            List<String> ran = entry.getValue();
            String cause = !redefined.get(type) ? "load" : ran.contains("plain") ? "redefine" : "retransform";
            if (ran.contains("plain")) {
                expected.add("instrumentation CausesCase$Plain " + type + " " + cause);
            }
            if (ran.contains("retransformable")) {
                expected.add("instrumentation CausesCase$Retransformable " + type + " " + cause);
                // Remap's upcall is not told of another agent's change: a load there.
                expected.add("remap CausesCase$Nesting " + type + " " + (anotherAgent ? "load" : cause));
            }
        }
        Collections.sort(expected);
        return expected;
    }
}
