package qvbench;

import java.time.Duration;
import java.util.Arrays;
import jdk.jfr.Enabled;
import jdk.jfr.Event;
import jdk.jfr.Name;
import jdk.jfr.Recording;
import jdk.jfr.StackTrace;
import qv.vantrel.quorvane.remapper.Remap;

/**
 * What one call of Remap's path costs with the per-call event recorded and not, without
 * class loading around it: {@code Remap.remap} called directly with 4,096 fresh class names
 * a round, its transformer returning null. One mode per JVM, since switching the event on
 * and off in a running JVM costs the compiled code of the path (switching is what
 * RecordingCost does, to share the JVM's bias between the states):
 *
 * <ul>
 * <li>{@code off}: a recording running, the event not enabled (JDK's settings);</li>
 * <li>{@code on}: the event enabled, every call committed;</li>
 * <li>{@code threshold}: the event enabled with a 1 ms threshold: begun and ended, none committed;</li>
 * <li>{@code plain}: no Quorvane at all, a JFR event of our own with the same fields
 * committed 4,096 times a round: JFR's own cost of such an event, the floor of {@code on}.</li>
 * </ul>
 *
 * <p>Prints {@code @@ <mode> <median ns per call over the rounds>}.
 */
public final class EventCost {
    private static final int CLASSES = 4096;
    private static final int ROUNDS = 60;
    private static final String EVENT = "qv.vantrel.quorvane.ClassTransform";

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

    public static void main(String[] args) {
        String mode = args[0];
        String[] names = new String[CLASSES];
        for (int i = 0; i < CLASSES; i++) {
            names[i] = "com/acme/orders/generated/Klass" + i;
        }
        byte[] classFile = new byte[900];
        Remap.Transformer transformer = (name, bytes) -> null;
        Remap.setTransformer(transformer);
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
                for (int i = 0; i < CLASSES; i++) {
                    Plain event = new Plain();
                    event.begin();
                    event.end();
                    if (event.shouldCommit()) {
                        event.className = fresh[i];
                        event.transformer = transformerName;
                        event.route = "remap";
                        event.cause = "load";
                        event.bytesIn = classFile.length;
                        event.bytesOut = classFile.length;
                        event.outcome = "unchanged";
                        event.commit();
                    }
                }
            } else {
                for (int i = 0; i < CLASSES; i++) {
                    Remap.remap(fresh[i], classFile);
                }
            }
            perRound[round] = System.nanoTime() - start;
        }
        recording.stop();
        recording.close();
        // The first third warms the path up.
        long[] measured = Arrays.copyOfRange(perRound, ROUNDS / 3, ROUNDS);
        Arrays.sort(measured);
        System.out.printf("@@ %s %.0f%n", mode, measured[measured.length / 2] / (double) CLASSES);
    }
}
