package qvbench.retransform;

import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.Paths;
import java.util.ArrayList;
import java.util.Collections;
import java.util.List;
import java.util.Locale;
import java.util.Map;
import java.util.Random;
import java.util.TreeMap;

/**
 * Prints the figures of a run of bench/retransform/run.sh from its rounds file (one line a
 * measured call: session, call, wall ns, process cpu ns): per call the median time with a
 * 95% interval (2,000 bootstrap resamples: sessions drawn with replacement, then each drawn
 * session's rounds) and the interquartile range, and the ratios of Quorvane's calls to the
 * JDK route's, with the value of each session.
 *
 * <p>Usage: {@code RetransformSummary <rounds.tsv> <classes per call> <loaded classes>}
 */
public final class RetransformSummary {
    private static final String[][] CALLS = {
        {"agent", "JDK route: Instrumentation.retransformClasses(the classes)"},
        {"loaded", "Quorvane.retransformLoaded()"},
        {"given", "Quorvane.retransform(the classes)"},
    };
    private static final int RESAMPLES = 2000;

    private RetransformSummary() {
    }

    /** One call's rounds: session to [wall ms, cpu ms] per round. */
    private static final class Rounds {
        final Map<Integer, List<double[]>> bySession = new TreeMap<>();
    }

    public static void main(String[] args) throws IOException {
        Map<String, Rounds> calls = new TreeMap<>();
        for (String line : Files.readAllLines(Paths.get(args[0]))) {
            String[] f = line.trim().split("\\s+");
            if (f.length != 4) {
                continue;
            }
            calls.computeIfAbsent(f[1], k -> new Rounds()).bySession
                    .computeIfAbsent(Integer.parseInt(f[0]), k -> new ArrayList<>())
                    .add(new double[] {Long.parseLong(f[2]) / 1e6, Long.parseLong(f[3]) / 1e6});
        }
        int classes = Integer.parseInt(args[1]);
        Rounds agent = calls.get("agent");
        if (agent == null) {
            throw new IllegalStateException("no rounds of the JDK route in " + args[0]);
        }
        int sessions = agent.bySession.size();
        int rounds = agent.bySession.values().iterator().next().size();
        System.out.printf(Locale.ROOT, "%d classes retransformed a call, in a JVM with %s classes loaded; %d sessions "
                + "(fresh JVMs), %d measured calls of each kind a session%n", classes, args[2], sessions, rounds);
        System.out.println("Per call: median [95% interval, resampling sessions and rounds] (interquartile range)");
        System.out.println();
        System.out.println("| call | wall ms | wall µs a class | process CPU ms |");
        System.out.println("|---|---|---|---|");
        Random random = new Random(1);
        for (String[] call : CALLS) {
            Rounds r = calls.get(call[0]);
            if (r == null) {
                continue;
            }
            double[] wall = interval(r, null, 0, random);
            double[] cpu = interval(r, null, 1, random);
            System.out.printf(Locale.ROOT, "| %s | %s | %.1f | %s |%n", call[1], figure(wall, pooled(r, 0)),
                    wall[0] * 1000 / classes, figure(cpu, pooled(r, 1)));
        }
        System.out.println();
        System.out.println("| ratio | wall | process CPU | target |");
        System.out.println("|---|---|---|---|");
        for (String[] call : CALLS) {
            Rounds r = calls.get(call[0]);
            if (r == null || r == agent) {
                continue;
            }
            System.out.printf(Locale.ROOT, "| %s / JDK route | %s | %s | %s |%n", call[1], ratio(r, agent, 0, random),
                    ratio(r, agent, 1, random), call[0].equals("loaded") ? "<= 1.2" : "");
        }
    }

    private static String figure(double[] interval, List<Double> all) {
        return String.format(Locale.ROOT, "%.2f [%.2f, %.2f] (%.2f–%.2f)", interval[0], interval[1], interval[2],
                quantile(all, 0.25), quantile(all, 0.75));
    }

    private static String ratio(Rounds top, Rounds bottom, int column, Random random) {
        double[] r = interval(top, bottom, column, random);
        StringBuilder text = new StringBuilder(String.format(Locale.ROOT, "%.2f [%.2f, %.2f];", r[0], r[1], r[2]));
        for (Integer session : bottom.bySession.keySet()) {
            List<Double> a = column(top.bySession.get(session), column);
            List<Double> b = column(bottom.bySession.get(session), column);
            text.append(String.format(Locale.ROOT, " %.2f", quantile(a, 0.5) / quantile(b, 0.5)));
        }
        return text.toString();
    }

    /**
     * Median of one call (bottom null) or ratio of two calls' medians, with its bootstrap
     * interval: {estimate, low, high}.
     */
    private static double[] interval(Rounds top, Rounds bottom, int column, Random random) {
        double estimate = statistic(top, bottom, column, null, random);
        List<Integer> sessions = new ArrayList<>(top.bySession.keySet());
        double[] draws = new double[RESAMPLES];
        for (int b = 0; b < RESAMPLES; b++) {
            List<Integer> drawn = new ArrayList<>();
            for (int i = 0; i < sessions.size(); i++) {
                drawn.add(sessions.get(random.nextInt(sessions.size())));
            }
            draws[b] = statistic(top, bottom, column, drawn, random);
        }
        java.util.Arrays.sort(draws);
        return new double[] {estimate, draws[(int) (RESAMPLES * 0.025)], draws[(int) (RESAMPLES * 0.975) - 1]};
    }

    // Pooled median (or ratio of pooled medians) over the drawn sessions, each session's rounds
    // drawn again; over everything as measured when drawn is null.
    private static double statistic(Rounds top, Rounds bottom, int column, List<Integer> drawn, Random random) {
        double t = quantile(resample(top, column, drawn, random), 0.5);
        return bottom == null ? t : t / quantile(resample(bottom, column, drawn, random), 0.5);
    }

    private static List<Double> resample(Rounds r, int column, List<Integer> drawn, Random random) {
        if (drawn == null) {
            return pooled(r, column);
        }
        List<Double> values = new ArrayList<>();
        for (Integer session : drawn) {
            List<Double> rounds = column(r.bySession.get(session), column);
            for (int i = 0; i < rounds.size(); i++) {
                values.add(rounds.get(random.nextInt(rounds.size())));
            }
        }
        return values;
    }

    private static List<Double> pooled(Rounds r, int column) {
        List<Double> all = new ArrayList<>();
        for (List<double[]> rounds : r.bySession.values()) {
            all.addAll(column(rounds, column));
        }
        return all;
    }

    private static List<Double> column(List<double[]> rounds, int column) {
        List<Double> values = new ArrayList<>();
        for (double[] round : rounds) {
            values.add(round[column]);
        }
        return values;
    }

    private static double quantile(List<Double> values, double q) {
        List<Double> sorted = new ArrayList<>(values);
        Collections.sort(sorted);
        double position = q * (sorted.size() - 1);
        int low = (int) Math.floor(position);
        int high = (int) Math.ceil(position);
        return sorted.get(low) + (sorted.get(high) - sorted.get(low)) * (position - low);
    }
}
