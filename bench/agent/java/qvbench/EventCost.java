package qvbench;

import java.lang.instrument.ClassFileTransformer;
import java.lang.invoke.MethodHandle;
import java.lang.invoke.MethodHandles;
import java.lang.reflect.Method;
import java.security.ProtectionDomain;
import java.time.Duration;
import java.util.Arrays;
import jdk.jfr.Enabled;
import jdk.jfr.Event;
import jdk.jfr.Name;
import jdk.jfr.Recording;
import jdk.jfr.StackTrace;
import qv.vantrel.quorvane.Quorvane;
import qv.vantrel.quorvane.remapper.Remap;

/**
 * What one call of a route's transformer costs with the per-call event recorded and not,
 * without class loading around it: the route's Java end called directly with 4,096 fresh
 * class names a round, its transformer returning null ({@code Remap.remap}, or the
 * upcall the Instrumentation's hook makes, with one transformer added). One mode per JVM,
 * since switching the event on and off in a running JVM costs the compiled code of the
 * path (switching is what RecordingCost does, to share the JVM's bias between the states):
 *
 * <ul>
 * <li>{@code off}: a recording running, the event not enabled (JDK's settings);</li>
 * <li>{@code on}: the event enabled, every call committed;</li>
 * <li>{@code threshold}: the event enabled with a 1 ms threshold: begun and ended, none committed;</li>
 * <li>{@code plain}: no Quorvane at all, a JFR event of our own with the same fields
 * committed 4,096 times a round: JFR's own cost of such an event, the floor of {@code on}.</li>
 * </ul>
 *
 * <p>Arguments: the mode, then the route ({@code remap}, the default, or
 * {@code instrumentation}). The property {@code qvbench.rounds} sets the rounds (60);
 * the first half warms the path up. Prints {@code @@ <mode> <median ns per call over the
 * measured rounds>}.
 */
public final class EventCost {
    private static final int CLASSES = 4096;
    private static final int ROUNDS = Integer.getInteger("qvbench.rounds", 60);
    private static final String EVENT = "qv.vantrel.quorvane.ClassTransform";
    private static final byte[] CLASS_FILE = new byte[900];

    /** The same fields as Quorvane's event, with no Quorvane around it. */
    @Name("qvbench.Plain")
    @Enabled(false)
    @StackTrace(false)
    static final class Plain extends Event {
        String className;
        String transformer;
        String route;
        String cause;
        int bytesIn;
        int bytesOut;
        String outcome;
        String failure;
    }

    private EventCost() {
    }

    public static void main(String[] args) throws Throwable {
        String mode = args[0];
        boolean instrumentation = args.length > 1 && args[1].equals("instrumentation");
        String[] names = new String[CLASSES];
        for (int i = 0; i < CLASSES; i++) {
            names[i] = "com/acme/orders/generated/Klass" + i;
        }
        Remap.Transformer transformer = (name, bytes) -> null;
        Remap.setTransformer(transformer);
        MethodHandle upcall = instrumentation ? instrumentationUpcall() : null;
        String transformerName = transformer.getClass().getName();
        Recording recording = new Recording();
        switch (mode) {
            case "off":
                break;
            case "on":
                recording.enable(EVENT).withThreshold(Duration.ZERO);
                break;
            case "threshold":
                recording.enable(EVENT).withThreshold(Duration.ofMillis(1));
                break;
            case "plain":
                recording.enable("qvbench.Plain").withThreshold(Duration.ZERO);
                break;
            default:
                throw new IllegalArgumentException(mode);
        }
        recording.start();
        long[] perRound = new long[ROUNDS];
        for (int round = 0; round < ROUNDS; round++) {
            String[] fresh = new String[CLASSES];  // a class's name is a new string each time
            for (int i = 0; i < CLASSES; i++) {
                fresh[i] = new String(names[i]);
            }
            long start = System.nanoTime();
            if (mode.equals("plain")) {
                plain(fresh, transformerName);
            } else if (upcall != null) {
                instrumentation(fresh, upcall);
            } else {
                remap(fresh);
            }
            perRound[round] = System.nanoTime() - start;
        }
        recording.stop();
        recording.close();
        long[] measured = Arrays.copyOfRange(perRound, ROUNDS / 2, ROUNDS);
        Arrays.sort(measured);
        System.out.printf("@@ %s %.0f%n", mode, measured[measured.length / 2] / (double) CLASSES);
    }

    private static void remap(String[] names) {
        for (String name : names) {
            Remap.remap(name, CLASS_FILE);
        }
    }

    private static void instrumentation(String[] names, MethodHandle upcall) throws Throwable {
        ClassLoader loader = EventCost.class.getClassLoader();
        for (String name : names) {
            byte[] result = (byte[]) upcall.invokeExact(false, (Module) null, loader, name, (Class<?>) null,
                    (ProtectionDomain) null, CLASS_FILE);
            if (result != null) {
                throw new AssertionError(name);
            }
        }
    }

    private static void plain(String[] names, String transformerName) {
        for (String name : names) {
            Plain event = new Plain();
            event.begin();
            event.end();
            if (event.shouldCommit()) {
                event.className = name;
                event.transformer = transformerName;
                event.route = "remap";
                event.cause = "load";
                event.bytesIn = CLASS_FILE.length;
                event.bytesOut = CLASS_FILE.length;
                event.outcome = "unchanged";
                event.commit();
            }
        }
    }

    // The hook's upcall into the Instrumentation's transformers (internal: the jar is on
    // the class path here, so reflection reaches it), with one transformer that changes nothing.
    private static MethodHandle instrumentationUpcall() throws ReflectiveOperationException {
        Quorvane.instrumentation().addTransformer(new ClassFileTransformer() {
            @Override
            public byte[] transform(Module module, ClassLoader loader, String name, Class<?> redefined,
                    ProtectionDomain domain, byte[] classFile) {
                return null;
            }
        });
        Method transform = Class.forName("qv.vantrel.quorvane.instrument.TransformerManager").getDeclaredMethod(
                "transform", boolean.class, Module.class, ClassLoader.class, String.class, Class.class,
                ProtectionDomain.class, byte[].class);
        transform.setAccessible(true);
        return MethodHandles.lookup().unreflect(transform);
    }
}
