package qvbench.junit;

import java.io.BufferedReader;
import java.io.IOException;
import java.io.InputStreamReader;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Locale;
import java.util.Map;

/**
 * How long a JUnit Platform test run takes to reach its first test, from the driver's start of
 * the process to the test's first line, in fresh JVMs of four configurations taking turns within
 * each round (the order rotating from round to round), so that a drift of the machine touches
 * them alike:
 *
 * <ul>
 * <li>{@code plain}: the console launcher, the test and Byte Buddy's agent jar on the class path;</li>
 * <li>{@code listener}: the same with quorvane.jar and quorvane-junit.jar, no agent declared;</li>
 * <li>{@code javaagent}: plain with {@code -javaagent:byte-buddy-agent.jar};</li>
 * <li>{@code declared}: listener with a junit-platform.properties declaring that agent.</li>
 * </ul>
 *
 * <p>Two figures of each run: the wall time from the driver's start of the process to the test's
 * first line, and the CPU time the JVM's threads have had by then (less disturbed by other
 * processes of a busy machine; it counts the JIT's and GC's threads too). It prints each
 * configuration's medians and the medians of the differences within a round, listener - plain
 * and declared - javaagent, with 95% intervals of those medians.
 *
 * <p>Usage: {@code StartBench <java> <rounds> <work dir> <console launcher jar> <test jar>
 * <byte-buddy-agent jar> <quorvane jar> <quorvane-junit jar> <declared folder> [taskset cpu]}
 */
public final class StartBench {
    private StartBench() {
    }

    public static void main(String[] args) throws Exception {
        String java = args[0];
        int rounds = Integer.parseInt(args[1]);
        Path work = Files.createDirectories(Path.of(args[2]));
        String console = args[3];
        String tests = args[4];
        String agent = args[5];
        String quorvane = args[6];
        String junit = args[7];
        String declared = args[8];
        String cpu = args.length > 9 ? args[9] : null;

        String plain = String.join(":", console, tests, agent);
        String withListener = String.join(":", plain, quorvane, junit);
        Map<String, List<String>> configs = new LinkedHashMap<>();
        configs.put("plain", command(java, cpu, null, plain));
        configs.put("listener", command(java, cpu, null, withListener));
        configs.put("javaagent", command(java, cpu, "-javaagent:" + agent, plain));
        configs.put("declared", command(java, cpu, null, withListener + ":" + declared));
        List<String> names = new ArrayList<>(configs.keySet());

        // One round to warm the file cache, not counted.
        for (String name : names) {
            run(configs.get(name), work);
        }
        Map<String, double[]> wall = new LinkedHashMap<>();
        Map<String, double[]> cpuTime = new LinkedHashMap<>();
        for (String name : names) {
            wall.put(name, new double[rounds]);
            cpuTime.put(name, new double[rounds]);
        }
        for (int round = 0; round < rounds; round++) {
            for (int i = 0; i < names.size(); i++) {
                String name = names.get((i + round) % names.size());
                long[] figures = run(configs.get(name), work);
                wall.get(name)[round] = figures[0] / 1e6;
                cpuTime.get(name)[round] = figures[1] / 1e6;
            }
        }

        System.out.printf(Locale.ROOT, "%d rounds, one fresh JVM per configuration in each%s%n", rounds,
                cpu != null ? ", all on CPU " + cpu : "");
        for (String name : names) {
            System.out.printf(Locale.ROOT, "  %-10s first test after %7.1f ms wall, %7.1f ms CPU (medians)%n", name,
                    median(wall.get(name)), median(cpuTime.get(name)));
        }
        for (String figure : List.of("wall", "CPU")) {
            Map<String, double[]> values = figure.equals("wall") ? wall : cpuTime;
            difference("listener - plain, " + figure, values.get("listener"), values.get("plain"), "target: under 5 ms");
            difference("declared - javaagent, " + figure, values.get("declared"), values.get("javaagent"),
                    "target: 0 or less");
        }
    }

    private static List<String> command(String java, String cpu, String agent, String classPath) {
        List<String> command = new ArrayList<>();
        if (cpu != null) {
            command.addAll(List.of("taskset", "-c", cpu));
        }
        command.add(java);
        if (agent != null) {
            command.add(agent);
        }
        command.addAll(List.of("-cp", classPath, "org.junit.platform.console.ConsoleLauncher", "--disable-banner",
                "--details=none", "--select-class", "qvbench.junit.FirstTest"));
        return command;
    }

    /** Nanoseconds from the process's start to its first test, and of CPU time by then. */
    private static long[] run(List<String> command, Path work) throws IOException, InterruptedException {
        ProcessBuilder builder = new ProcessBuilder(command).directory(work.toFile()).redirectErrorStream(true);
        long start = System.nanoTime();
        Process process = builder.start();
        long reached = -1;
        long cpu = -1;
        StringBuilder output = new StringBuilder();
        try (BufferedReader in = new BufferedReader(
                new InputStreamReader(process.getInputStream(), StandardCharsets.UTF_8))) {
            for (String line = in.readLine(); line != null; line = in.readLine()) {
                if (line.startsWith("@@ ") && reached < 0) {
                    String[] figures = line.substring(3).trim().split(" ");
                    reached = Long.parseLong(figures[0]);
                    cpu = Long.parseLong(figures[1]);
                } else {
                    output.append(line).append('\n');
                }
            }
        }
        int status = process.waitFor();
        if (status != 0 || reached < 0) {
            throw new IllegalStateException("run failed (" + status + "): " + command + "\n" + output);
        }
        return new long[] {reached - start, cpu};
    }

    private static void difference(String what, double[] a, double[] b, String target) {
        double[] d = new double[a.length];
        for (int i = 0; i < d.length; i++) {
            d[i] = a[i] - b[i];
        }
        Arrays.sort(d);
        // The median's 95% interval from the order statistics (normal approximation of the binomial).
        int n = d.length;
        int half = (int) Math.ceil(1.96 * Math.sqrt(n) / 2);
        int low = Math.max(0, (n + 1) / 2 - 1 - half);
        int high = Math.min(n - 1, n / 2 + half);
        System.out.printf(Locale.ROOT, "  %-28s %+6.1f ms median of the rounds' differences, 95%% interval %+.1f to %+.1f ms (%s)%n",
                what, median(d), d[low], d[high], target);
    }

    private static double median(double[] values) {
        double[] sorted = values.clone();
        Arrays.sort(sorted);
        int n = sorted.length;
        return n % 2 == 1 ? sorted[n / 2] : (sorted[n / 2 - 1] + sorted[n / 2]) / 2;
    }
}
