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
 * <p>And, as precisely as a fresh JVM allows, the listener's own cost with no agent declared,
 * measured inside the JVM around what the platform does with its session listeners
 * ({@link ListenerCost}), with quorvane-junit and without, in two more fresh JVMs per round.
 *
 * <p>Usage: {@code StartBench <java> <rounds> <work dir> <console launcher jar> <test jar>
 * <byte-buddy-agent jar> <quorvane jar> <quorvane-junit jar> <declared folder> <driver jar>
 * <JUnit launcher jars> [taskset cpu]}
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
        String driver = args[9];
        String launcher = args[10];
        String cpu = args.length > 11 ? args[11] : null;

        String plain = String.join(":", console, tests, agent);
        String withListener = String.join(":", plain, quorvane, junit);
        Map<String, List<String>> configs = new LinkedHashMap<>();
        configs.put("plain", command(java, cpu, null, plain));
        configs.put("listener", command(java, cpu, null, withListener));
        configs.put("javaagent", command(java, cpu, "-javaagent:" + agent, plain));
        configs.put("declared", command(java, cpu, null, withListener + ":" + declared));
        List<String> names = new ArrayList<>(configs.keySet());
        List<String> alone = new ArrayList<>();
        if (cpu != null) {
            alone.addAll(List.of("taskset", "-c", cpu));
        }
        alone.add(java);
        List<String> none = new ArrayList<>(alone);
        alone.addAll(List.of("-cp", String.join(":", driver, launcher, quorvane, junit), "qvbench.junit.ListenerCost", "1"));
        none.addAll(List.of("-cp", String.join(":", driver, launcher, quorvane), "qvbench.junit.ListenerCost", "0"));
        double[] listenerWall = new double[rounds];
        double[] listenerCpu = new double[rounds];
        double[] noneWall = new double[rounds];
        double[] noneCpu = new double[rounds];

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
                // The first test's line: the machine's clock when it ran, and the JVM's CPU time.
                long[] figures = run(configs.get(name), work);
                wall.get(name)[round] = (figures[1] - figures[0]) / 1e6;
                cpuTime.get(name)[round] = figures[2] / 1e6;
            }
            long[] figures = run(alone, work);
            listenerWall[round] = figures[1] / 1e6;
            listenerCpu[round] = figures[2] / 1e6;
            figures = run(none, work);
            noneWall[round] = figures[1] / 1e6;
            noneCpu[round] = figures[2] / 1e6;
        }

        System.out.printf(Locale.ROOT, "%d rounds, one fresh JVM per configuration in each%s%n", rounds,
                cpu != null ? ", all on CPU " + cpu : "");
        for (String name : names) {
            System.out.printf(Locale.ROOT, "  %-10s first test after %7.1f ms wall, %7.1f ms CPU (medians)%n", name,
                    median(wall.get(name)), median(cpuTime.get(name)));
        }
        System.out.printf(Locale.ROOT, "  session listeners of two sessions, inside the JVM: with quorvane-junit %.2f ms"
                + " wall, %.2f ms CPU; without %.2f ms wall, %.2f ms CPU (medians)%n", median(listenerWall),
                median(listenerCpu), median(noneWall), median(noneCpu));
        difference("the listener alone, wall", listenerWall, noneWall, "target: under 5 ms");
        difference("the listener alone, CPU", listenerCpu, noneCpu, "target: under 5 ms");
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

    /** The machine's clock when the process started, then the numbers of its "@@" line. */
    private static long[] run(List<String> command, Path work) throws IOException, InterruptedException {
        ProcessBuilder builder = new ProcessBuilder(command).directory(work.toFile()).redirectErrorStream(true);
        long start = System.nanoTime();
        Process process = builder.start();
        long[] figures = null;
        StringBuilder output = new StringBuilder();
        try (BufferedReader in = new BufferedReader(
                new InputStreamReader(process.getInputStream(), StandardCharsets.UTF_8))) {
            for (String line = in.readLine(); line != null; line = in.readLine()) {
                if (line.startsWith("@@ ") && figures == null) {
                    String[] numbers = line.substring(3).trim().split(" ");
                    figures = new long[numbers.length + 1];
                    figures[0] = start;
                    for (int i = 0; i < numbers.length; i++) {
                        figures[i + 1] = Long.parseLong(numbers[i]);
                    }
                } else {
                    output.append(line).append('\n');
                }
            }
        }
        int status = process.waitFor();
        if (status != 0 || figures == null) {
            throw new IllegalStateException("run failed (" + status + "): " + command + "\n" + output);
        }
        return figures;
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
