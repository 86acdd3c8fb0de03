package qvbench;

import java.lang.management.ManagementFactory;
import java.lang.management.ThreadMXBean;
import java.nio.file.Files;
import java.nio.file.Paths;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Locale;
import java.util.Map;
import java.util.Random;
import jdk.jfr.Recording;

/**
 * What recording Quorvane's per-call event costs, measured inside one JVM: each round
 * defines the corpus in 16 batches, which take turns with qv.vantrel.quorvane.ClassTransform
 * enabled and disabled in one running recording (switched between batches, outside the
 * timing), so that the JVM's own bias (its layout, its compiled code) and the machine's slow
 * and fast spells fall on both alike. Separate JVMs, as in the Conductor's QBJ and IJ, carry
 * a bias of their own larger than this cost.
 *
 * <p>{@code RecordingCost run --corpus <jar> --route remap|instrumentation --pairs N}: one
 * session of N rounds; prints {@code @@ <route> <classes> <calls> <off cpu> <on cpu> <off wall>
 * <on wall>} per round: the classes and the calls of the route's transformer in each state
 * (Remap's sees the 2,048 selected classes of a round, the Instrumentation's all 4,096; each
 * state half of them), and the nanoseconds each state's batches took. "Off" is JFR running
 * with the event disabled, as under the JDK's settings (a JVM that never records reads one
 * flag instead: less).
 *
 * <p>{@code RecordingCost summarize <pairs file>}: the median difference per call over all
 * pairs with a 95% interval (resampling sessions, then each drawn session's pairs).
 */
public final class RecordingCost {
    private static final ThreadMXBean THREADS = ManagementFactory.getThreadMXBean();
    private static final String EVENT = "qv.vantrel.quorvane.ClassTransform";
    // Corpus classes a batch defines: 16 batches a round, alternately recorded.
    private static final int BATCH = 256;

    private RecordingCost() {
    }

    /** A loader that defines corpus classes directly, as LoadBench's does. */
    private static final class CorpusLoader extends ClassLoader {
        CorpusLoader() {
            super(ClassLoader.getPlatformClassLoader());
        }

        void define(String name, byte[] b) {
            defineClass(name, b, 0, b.length);
        }
    }

    public static void main(String[] args) throws Exception {
        if (args[0].equals("summarize")) {
            summarize(args[1]);
            return;
        }
        String corpus = null;
        String route = null;
        int pairs = 20;
        for (int i = 1; i < args.length; i++) {
            switch (args[i]) {
                case "--corpus" -> corpus = args[++i];
                case "--route" -> route = args[++i];
                case "--pairs" -> pairs = Integer.parseInt(args[++i]);
                default -> throw new IllegalArgumentException("unknown argument " + args[i]);
            }
        }
        List<String> names = new ArrayList<>();
        List<byte[]> bytes = new ArrayList<>();
        LoadBench.readCorpus(corpus, names, bytes);
        int calls;
        if ("remap".equals(route)) {
            LibSetup.start("selected");
            calls = names.size() / 2;
        } else if ("instrumentation".equals(route)) {
            LibSetup.startInstrumentation("copy");
            calls = names.size();
        } else {
            throw new IllegalArgumentException("--route remap|instrumentation");
        }
        // One recording for the whole run; the event is enabled and disabled in it
        // between batches, outside the timed loops.
        Recording recording = new Recording();
        recording.start();
        Random random = new Random();
        for (int pair = -4; pair < pairs; pair++) {
            long[] off = new long[2];
            long[] on = new long[2];
            round(recording, names, bytes, random.nextBoolean(), off, on);
            if (pair >= 0) {
                System.out.printf(Locale.ROOT, "@@ %s %d %d %d %d %d %d%n", route, names.size() / 2, calls / 2, off[1],
                        on[1], off[0], on[0]);
            }
        }
        recording.stop();
        recording.close();
    }

    /**
     * Defines the corpus once, in batches that take turns recording the event and not, so
     * that each state sees half the classes, spread over the round; adds {wall ns, thread
     * cpu ns} of the batches of each state to off and on.
     */
    private static void round(Recording recording, List<String> names, List<byte[]> bytes, boolean onFirst,
            long[] off, long[] on) {
        System.gc();
        CorpusLoader loader = new CorpusLoader();
        for (int batch = 0; batch * BATCH < names.size(); batch++) {
            boolean recorded = (batch % 2 == 0) == onFirst;
            if (recorded) {
                recording.enable(EVENT);
            } else {
                recording.disable(EVENT);
            }
            int end = Math.min(names.size(), (batch + 1) * BATCH);
            long cpu0 = THREADS.getCurrentThreadCpuTime();
            long wall0 = System.nanoTime();
            for (int i = batch * BATCH; i < end; i++) {
                loader.define(names.get(i), bytes.get(i));
            }
            long wall1 = System.nanoTime();
            long cpu1 = THREADS.getCurrentThreadCpuTime();
            long[] into = recorded ? on : off;
            into[0] += wall1 - wall0;
            into[1] += cpu1 - cpu0;
        }
    }

    // Lines "<session> <route> <classes> <calls> <off cpu> <on cpu> <off wall> <on wall>".
    private static void summarize(String file) throws Exception {
        Map<String, List<double[]>> byRoute = new LinkedHashMap<>();
        for (String line : Files.readAllLines(Paths.get(file))) {
            String[] f = line.trim().split("\\s+");
            double classes = Double.parseDouble(f[2]);
            double calls = Double.parseDouble(f[3]);
            // session, off per class, on - off per call: cpu, wall
            byRoute.computeIfAbsent(f[1], k -> new ArrayList<>()).add(new double[] {Double.parseDouble(f[0]),
                Double.parseDouble(f[4]) / classes, (Double.parseDouble(f[5]) - Double.parseDouble(f[4])) / calls,
                (Double.parseDouble(f[7]) - Double.parseDouble(f[6])) / calls});
        }
        Random random = new Random(7);
        System.out.println("| route | rounds | a class, not recording (thread CPU, µs) | recording - not, per call"
                + " of the transformer (thread CPU, ns) | the same, wall (ns) |");
        System.out.println("|---|---|---|---|---|");
        for (Map.Entry<String, List<double[]>> e : byRoute.entrySet()) {
            List<double[]> rounds = e.getValue();
            System.out.printf(Locale.ROOT, "| %s | %d | %.2f | %s | %s |%n", e.getKey(), rounds.size(),
                    median(rounds, p -> p[1]) / 1000, interval(rounds, p -> p[2], random),
                    interval(rounds, p -> p[3], random));
        }
    }

    private static String interval(List<double[]> pairs, java.util.function.ToDoubleFunction<double[]> value,
            Random random) {
        Map<Integer, List<double[]>> sessions = new LinkedHashMap<>();
        for (double[] p : pairs) {
            sessions.computeIfAbsent((int) p[0], k -> new ArrayList<>()).add(p);
        }
        List<List<double[]>> bySession = new ArrayList<>(sessions.values());
        int count = 2000;
        double[] medians = new double[count];
        for (int i = 0; i < count; i++) {
            List<double[]> sample = new ArrayList<>();
            for (int k = 0; k < bySession.size(); k++) {
                List<double[]> session = bySession.get(random.nextInt(bySession.size()));
                for (int j = 0; j < session.size(); j++) {
                    sample.add(session.get(random.nextInt(session.size())));
                }
            }
            medians[i] = median(sample, value);
        }
        Arrays.sort(medians);
        return String.format(Locale.ROOT, "%.0f [%.0f, %.0f]", median(pairs, value), medians[(int) (0.025 * count)],
                medians[(int) (0.975 * count)]);
    }

    private static double median(List<double[]> pairs, java.util.function.ToDoubleFunction<double[]> value) {
        double[] s = pairs.stream().mapToDouble(value).sorted().toArray();
        int k = s.length / 2;
        return s.length % 2 == 1 ? s[k] : (s[k - 1] + s[k]) / 2;
    }
}
