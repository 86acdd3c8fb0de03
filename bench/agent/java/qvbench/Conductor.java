package qvbench;

import java.io.BufferedReader;
import java.io.IOException;
import java.io.InputStreamReader;
import java.io.PrintWriter;
import java.io.Writer;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.Collections;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Locale;
import java.util.Map;
import java.util.Random;

/**
 * Runs the configurations side by side: in each session, one JVM per configuration,
 * all alive at once, pinned with taskset and driven in lock step so that every
 * measured round follows a floor round on the same CPU(s) a moment before it.
 * Configurations are interleaved in a fresh random order in each repetition. Prints
 * medians with their intervals and the headline ratios, and writes every pair to
 * pairs.tsv.
 *
 * <p>Usage: {@code Conductor <key>=<value>...}, keys: java, cp, agent, agentr (the
 * retransform-capable agent jar), lib, corpus, out, sessions, rounds (per session), warmup,
 * cpu, cpus4, threads, jvmopts (space separated), otherlib (a folder holding another build
 * of libquorvane.so, measured as Cx, Dx, Ix, QBx and QFBx beside C, D, I, QB and QFB), and
 * configs (comma separated: measure only these, with their floors; default all).
 */
public final class Conductor {
    /** One benchmark JVM, spoken to through stdin and its stderr. */
    private static final class Jvm {
        final String label;
        final Process process;
        final BufferedReader replies;
        final Writer commands;
        final int classes;

        Jvm(String label, List<String> command, Path dir) throws IOException {
            this.label = label;
            Files.createDirectories(dir);
            ProcessBuilder pb = new ProcessBuilder(command).directory(dir.toFile());
            // Standard output is the library's console log: a file, as the figures assume.
            pb.redirectOutput(dir.resolve("stdout.txt").toFile());
            process = pb.start();
            replies = new BufferedReader(new InputStreamReader(process.getErrorStream(), StandardCharsets.UTF_8));
            commands = new java.io.OutputStreamWriter(process.getOutputStream(), StandardCharsets.UTF_8);
            String[] ready = reply();
            if (!ready[1].equals("ready")) {
                throw new IOException(label + ": unexpected " + String.join(" ", ready));
            }
            classes = Integer.parseInt(ready[2]);
        }

        String[] reply() throws IOException {
            for (String line = replies.readLine(); line != null; line = replies.readLine()) {
                if (line.startsWith("@@ ")) {
                    return line.split(" ");
                }
                System.err.println("[" + label + "] " + line);
            }
            throw new IOException(label + ": JVM ended early (exit " + waitExit() + ")");
        }

        int waitExit() {
            try {
                return process.waitFor();
            } catch (InterruptedException e) {
                Thread.currentThread().interrupt();
                return -1;
            }
        }

        /** Returns {wall ns, thread cpu ns}. */
        long[] round() throws IOException {
            commands.write("round\n");
            commands.flush();
            String[] r = reply();
            return new long[] {Long.parseLong(r[1]), Long.parseLong(r[2])};
        }

        void quit() throws IOException {
            commands.write("quit\n");
            commands.flush();
            waitExit();
        }
    }

    /** How to start one benchmark JVM. */
    private static final class JvmSetup {
        final String label;
        final String cpus;
        final int threads;
        final String includes; // null: the library is not loaded
        final String libDir;
        final String agent; // the -javaagent jar, or null
        final String instrumentation;
        final List<String> jvmArgs;

        JvmSetup(String label, String cpus, int threads, String includes, String libDir, String agent) {
            this(label, cpus, threads, includes, libDir, agent, List.of());
        }

        JvmSetup(String label, String cpus, int threads, String includes, String libDir, String agent,
                List<String> jvmArgs) {
            this(label, cpus, threads, includes, libDir, agent, jvmArgs, null);
        }

        /** instrumentation: null, or LoadBench's --instrumentation argument. */
        JvmSetup(String label, String cpus, int threads, String includes, String libDir, String agent,
                List<String> jvmArgs, String instrumentation) {
            this.instrumentation = instrumentation;
            this.label = label;
            this.cpus = cpus;
            this.threads = threads;
            this.includes = includes;
            this.libDir = libDir;
            this.agent = agent;
            this.jvmArgs = jvmArgs;
        }
    }

    /** A measured configuration, the floor it is compared with, and its pairs. */
    private static final class Config {
        final String name;
        final String what;
        final String floor;
        // Per pair: session, floor wall, floor cpu, wall, cpu (the last four in ns per class).
        final List<double[]> pairs = new ArrayList<>();

        Config(String name, String what, String floor) {
            this.name = name;
            this.what = what;
            this.floor = floor;
        }
    }

    /** The log set-up the README gives for production: info lines to the file only. */
    private static final List<String> QUIET =
            List.of("-Dqv.vantrel.quorvane.log.level=info", "-Dqv.vantrel.quorvane.log.console=off");

    /** The same with the file written in blocks, as the README recommends for production. */
    private static final List<String> QUIET_BUFFERED = List.of("-Dqv.vantrel.quorvane.log.level=info",
            "-Dqv.vantrel.quorvane.log.console=off", "-Dqv.vantrel.quorvane.log.flush=buffered");

    /**
     * A JFR recording of the JVM's whole life with nothing in it but Quorvane's per-call
     * event (its start-up lines kept off standard output, which the checks want empty).
     */
    private static final List<String> RECORD_CLASS_TRANSFORMS = List.of("-Xlog:jfr+startup=off",
            "-XX:StartFlightRecording:settings=none,+qv.vantrel.quorvane.ClassTransform#enabled=true,filename=run.jfr");

    /** JFR started, with no event enabled: Quorvane's event is off, as under the JDK's settings. */
    private static final List<String> RECORD_NOTHING =
            List.of("-Xlog:jfr+startup=off", "-XX:StartFlightRecording:settings=none,filename=run.jfr");

    /** A figure computed from some pairs of each configuration. */
    private interface Statistic {
        double of(Map<String, List<double[]>> pairs);
    }

    private static List<String> with(List<String> options, List<String> more) {
        List<String> all = new ArrayList<>(options);
        all.addAll(more);
        return all;
    }

    public static void main(String[] args) throws Exception {
        Map<String, String> opt = new LinkedHashMap<>();
        opt.put("sessions", "6");
        opt.put("rounds", "10");
        opt.put("warmup", "4");
        opt.put("cpu", "1");
        opt.put("cpus4", "0,1");
        opt.put("threads", "4");
        opt.put("jvmopts", "-XX:+UseSerialGC -Xms512m -Xmx512m");
        for (String a : args) {
            int eq = a.indexOf('=');
            opt.put(a.substring(0, eq), a.substring(eq + 1));
        }
        int sessions = Integer.parseInt(opt.get("sessions"));
        int rounds = Integer.parseInt(opt.get("rounds"));
        int warmup = Integer.parseInt(opt.get("warmup"));
        int threads = Integer.parseInt(opt.get("threads"));
        Path out = Paths.get(opt.get("out"));
        String cpu = opt.get("cpu");
        String cpus4 = opt.get("cpus4");
        String lib = opt.get("lib");
        String agent = opt.get("agent");
        String agentr = opt.get("agentr");
        String a4 = "A" + threads;

        List<JvmSetup> setups = new ArrayList<>(Arrays.asList(
                new JvmSetup("A", cpu, 1, null, null, null),
                new JvmSetup("B", cpu, 1, null, null, agent),
                new JvmSetup("BR", cpu, 1, null, null, agentr),
                new JvmSetup("C", cpu, 1, "selected", lib, null),
                new JvmSetup("D", cpu, 1, "none", lib, null),
                new JvmSetup("E", cpu, 1, "many", lib, null),
                new JvmSetup(a4, cpus4, threads, null, null, null),
                new JvmSetup("FB", cpus4, threads, null, null, agent),
                new JvmSetup("FBR", cpus4, threads, null, null, agentr),
                new JvmSetup("FC", cpus4, threads, "selected", lib, null),
                new JvmSetup("QC", cpu, 1, "selected", lib, null, QUIET),
                new JvmSetup("QD", cpu, 1, "none", lib, null, QUIET),
                new JvmSetup("QFC", cpus4, threads, "selected", lib, null, QUIET),
                new JvmSetup("QB", cpu, 1, "selected", lib, null, QUIET_BUFFERED),
                new JvmSetup("QFB", cpus4, threads, "selected", lib, null, QUIET_BUFFERED),
                new JvmSetup("I", cpu, 1, null, lib, null, List.of(), "copy"),
                new JvmSetup("ID", cpu, 1, "none", lib, null, List.of(), "none"),
                new JvmSetup("QBN", cpu, 1, "selected", lib, null, with(QUIET_BUFFERED, RECORD_NOTHING)),
                new JvmSetup("QBJ", cpu, 1, "selected", lib, null, with(QUIET_BUFFERED, RECORD_CLASS_TRANSFORMS)),
                new JvmSetup("IJ", cpu, 1, null, lib, null, RECORD_CLASS_TRANSFORMS, "copy")));
        List<Config> configs = new ArrayList<>(Arrays.asList(
                new Config("B", "JDK route: -javaagent, copy for com/acme/orders/", "A"),
                new Config("BR", "B retransform-capable (Can-Retransform-Classes, addTransformer(t, true))", "A"),
                new Config("C", "library, selected packages included", "A"),
                new Config("D", "library, nothing included (skip path)", "A"),
                new Config("E", "C plus 10,000 non-matching entries", "A"),
                new Config("FB", "B with " + threads + " loading threads", a4),
                new Config("FBR", "BR with " + threads + " loading threads", a4),
                new Config("FC", "C with " + threads + " loading threads", a4),
                new Config("QC", "C with the quiet log (info, no console)", "A"),
                new Config("QD", "D with the quiet log (info, no console)", "A"),
                new Config("QFC", "FC with the quiet log (info, no console)", a4),
                new Config("QB", "QC with the file buffered (flush=buffered)", "A"),
                new Config("QFB", "QFC with the file buffered (flush=buffered)", a4),
                new Config("I", "B's copying transformer on Quorvane.instrumentation()", "A"),
                new Config("ID", "D after Quorvane.instrumentation(), no transformer on it", "A"),
                new Config("QBN", "QB with JFR recording, Quorvane's event not enabled", "A"),
                new Config("QBJ", "QB recording Quorvane's per-call event (2,048 calls a round)", "A"),
                new Config("IJ", "I recording Quorvane's per-call event (4,096 calls a round)", "A")));
        // Another build of the library beside this one (e.g. before a change), in the same run.
        String other = opt.get("otherlib");
        if (other != null && !other.isEmpty()) {
            setups.add(new JvmSetup("Cx", cpu, 1, "selected", other, null));
            setups.add(new JvmSetup("Dx", cpu, 1, "none", other, null));
            setups.add(new JvmSetup("Ix", cpu, 1, null, other, null, List.of(), "copy"));
            setups.add(new JvmSetup("QBx", cpu, 1, "selected", other, null, QUIET_BUFFERED));
            setups.add(new JvmSetup("QFBx", cpus4, threads, "selected", other, null, QUIET_BUFFERED));
            configs.add(new Config("Cx", "C with the library in otherlib", "A"));
            configs.add(new Config("Dx", "D with the library in otherlib", "A"));
            configs.add(new Config("Ix", "I with the library in otherlib", "A"));
            configs.add(new Config("QBx", "QB with the library in otherlib", "A"));
            configs.add(new Config("QFBx", "QFB with the library in otherlib", a4));
        }
        // A subset, for a quicker run: the chosen configurations and the floors they need.
        String chosen = opt.get("configs");
        if (chosen != null && !chosen.isEmpty()) {
            List<String> names = Arrays.asList(chosen.split(","));
            configs.removeIf(c -> !names.contains(c.name));
            List<String> needed = new ArrayList<>(List.of("A"));
            for (Config c : configs) {
                needed.add(c.name);
                needed.add(c.floor);
            }
            setups.removeIf(j -> !needed.contains(j.label));
        }

        // A JVM carries a bias of its own (layout, tables, compiled code) that
        // shows as a few percent of the floor, a large share of an overhead:
        // fresh JVMs per session, and intervals that resample sessions.
        Random random = new Random(42);
        int n = 0;
        for (int session = 0; session < sessions; session++) {
            Map<String, Jvm> jvms = new LinkedHashMap<>();
            for (JvmSetup setup : setups) {
                jvms.put(setup.label, start(opt, setup, out));
            }
            n = jvms.get("A").classes;
            for (int w = 0; w < warmup; w++) {
                for (Jvm j : jvms.values()) {
                    j.round();
                }
            }
            for (int r = 0; r < rounds; r++) {
                List<Config> order = new ArrayList<>(configs);
                Collections.shuffle(order, random);
                for (Config c : order) {
                    long[] f = jvms.get(c.floor).round();
                    long[] m = jvms.get(c.name).round();
                    c.pairs.add(new double[] {session, f[0] / (double) n, f[1] / (double) n, m[0] / (double) n,
                        m[1] / (double) n});
                }
            }
            for (Jvm j : jvms.values()) {
                j.quit();
            }
            System.err.printf(Locale.ROOT, "session %d/%d done%n", session + 1, sessions);
        }
        report(configs, n, sessions, rounds, opt, out);
    }

    private static Jvm start(Map<String, String> opt, JvmSetup setup, Path out) throws IOException {
        List<String> cmd = new ArrayList<>(Arrays.asList("taskset", "-c", setup.cpus, opt.get("java")));
        for (String o : opt.get("jvmopts").trim().split("\\s+")) {
            if (!o.isEmpty()) {
                cmd.add(o);
            }
        }
        if (setup.agent != null) {
            cmd.add("-javaagent:" + setup.agent + "=com/acme/orders/");
        }
        if (setup.includes != null || setup.instrumentation != null) {
            cmd.add("-Djava.library.path=" + setup.libDir);
        }
        cmd.addAll(setup.jvmArgs);
        // The copying transformer comes from the agent jar, here on the class path.
        String cp = setup.instrumentation != null ? opt.get("cp") + java.io.File.pathSeparator + opt.get("agent")
                : opt.get("cp");
        // The jar uses a library of its own build only: another build runs with the
        // jar beside it, when there is one.
        if (setup.libDir != null && !setup.libDir.equals(opt.get("lib"))) {
            Path otherJar = Paths.get(setup.libDir, "quorvane.jar");
            if (Files.isRegularFile(otherJar)) {
                cp = cp.replace(Paths.get(opt.get("lib"), "quorvane.jar").toString(), otherJar.toString());
            }
        }
        cmd.addAll(Arrays.asList("-cp", cp, "qvbench.LoadBench", "--corpus", opt.get("corpus"),
                "--threads", Integer.toString(setup.threads)));
        if (setup.includes != null) {
            cmd.addAll(Arrays.asList("--lib", setup.includes));
        }
        if (setup.instrumentation != null) {
            cmd.addAll(Arrays.asList("--instrumentation", setup.instrumentation));
        }
        // Each session's JVM reuses the folder: the log files hold the last session.
        return new Jvm(setup.label, cmd, out.resolve(setup.label));
    }

    private static void report(List<Config> configs, int n, int sessions, int rounds, Map<String, String> opt,
            Path out) throws IOException {
        try (PrintWriter tsv = new PrintWriter(Files.newBufferedWriter(out.resolve("pairs.tsv")))) {
            tsv.println("config\tsession\tfloor_wall_ns\tfloor_cpu_ns\twall_ns\tcpu_ns\t(per class)");
            for (Config c : configs) {
                for (double[] p : c.pairs) {
                    tsv.printf(Locale.ROOT, "%s\t%d\t%.1f\t%.1f\t%.1f\t%.1f%n", c.name, (int) p[0], p[1], p[2], p[3],
                            p[4]);
                }
            }
        }
        Map<String, List<double[]>> all = new LinkedHashMap<>();
        for (Config c : configs) {
            all.put(c.name, c.pairs);
        }
        Random random = new Random(7);
        String th = opt.get("threads");
        StringBuilder s = new StringBuilder();
        s.append(String.format(Locale.ROOT, "%d classes per round; %d sessions of fresh JVMs, %d measured rounds per "
                + "configuration in each, every one right after a floor round;%n", n, sessions, rounds));
        s.append(String.format(Locale.ROOT, "single-thread JVMs pinned to CPU %s, %s-thread JVMs to CPUs %s; JVM "
                + "options: %s%n", opt.get("cpu"), th, opt.get("cpus4"), opt.get("jvmopts")));
        s.append("Per class, in microseconds: median over all pairs [95% interval, resampling sessions and rounds] "
                + "(interquartile range)\n\n");
        s.append("| cfg | configuration | thread CPU µs/class | wall µs/class |\n|---|---|---|---|\n");
        // A floor's row reads its pairs from any configuration measured against it.
        for (String floor : List.of("A", "A" + th)) {
            configs.stream().filter(c -> c.floor.equals(floor)).findFirst().ifPresent(c -> s.append(row(floor,
                    "floor, absolute (" + (floor.equals("A") ? "1 thread" : th + " threads") + ")", all, random, c.name,
                    true)));
        }
        for (Config c : configs) {
            s.append(row(c.name, c.what + ": overhead", all, random, c.name, false));
        }
        s.append("\nHeadline ratios from the same run: median [95% interval]; then the value in each session\n\n");
        s.append("| ratio | thread CPU | wall | target |\n|---|---|---|---|\n");
        String[][] ratios = {
            {"C", "B", "<= 1.5"},
            {"C", "BR", ""},
            {"FC", "FB", "<= 2.0"},
            {"QC", "B", "<= 1.0 (aim 0.7)"},
            {"QC", "BR", ""},
            {"QFC", "FB", "<= 1.2"},
            {"QB", "BR", "<= 0.7 (aim 0.5)"},
            {"QB", "B", ""},
            {"QFB", "FBR", "<= 1.0"},
            {"QFB", "FB", ""},
            {"I", "B", "<= 1.0"},
            {"ID", "D", "1 (no cost)"},
            {"C", "Cx", "this build / otherlib"},
            {"D", "Dx", "this build / otherlib"},
            {"I", "Ix", "this build / otherlib"},
            {"Ix", "B", "otherlib's I / B"},
            {"QB", "QBx", "this build / otherlib"},
            {"QBx", "BR", "otherlib's QB / BR"},
            {"QFB", "QFBx", "this build / otherlib"},
            {"QBN", "QB", "1 (JFR on, event off: no cost)"},
        };
        if (all.containsKey("E") && all.containsKey("C")) {
            s.append(ratioRow("E load time / C load time", all, random, "E", "C", true, sessions, "<= 1.05"));
            s.append(ratioRow("E overhead / C overhead", all, random, "E", "C", false, sessions, "(stricter reading)"));
        }
        for (String[] r : ratios) {
            if (all.containsKey(r[0]) && all.containsKey(r[1])) {
                s.append(ratioRow(r[0] + " overhead / " + r[1] + " overhead", all, random, r[0], r[1], false, sessions,
                        r[2]));
            }
        }
        // What recording the per-call event adds, per call of a transformer: QB's transformer
        // sees the 2,048 selected classes of a round's 4,096, I's every class.
        String[][] recordingCosts = {
            {"QBJ", "QB", "2", "QBJ - QB, per call of Remap's transformer", "<= 0.5"},
            {"QBJ", "QBN", "2", "QBJ - QBN (both with JFR on), per call", ""},
            {"IJ", "I", "1", "IJ - I, per call of the Instrumentation's transformer", "<= 0.5"},
        };
        for (String[] cost : recordingCosts) {
            if (all.containsKey(cost[0]) && all.containsKey(cost[1])) {
                double scale = Double.parseDouble(cost[2]);
                s.append(String.format(Locale.ROOT, "| %s, µs | %s | %s | %s |%n", cost[3],
                        interval(all, random, difference(cost[0], cost[1], 4, 2, scale)),
                        interval(all, random, difference(cost[0], cost[1], 3, 1, scale)), cost[4]));
            }
        }
        for (String[] limit : new String[][] {{"D", "<= 3.5"}, {"QD", "<= 0.3"}}) {
            if (all.containsKey(limit[0])) {
                s.append(String.format(Locale.ROOT, "| %s overhead, µs per class | %s | %s | %s |%n", limit[0],
                        interval(all, random, overhead(limit[0], 4, 2)), interval(all, random, overhead(limit[0], 3, 1)),
                        limit[1]));
            }
        }
        System.out.print(s);
        Files.write(out.resolve("summary.md"), s.toString().getBytes(StandardCharsets.UTF_8));
    }

    /** A table row: the floor alone when measured is -1, else measured minus floor. */
    private static String row(String name, String what, Map<String, List<double[]>> all, Random random, String config,
            boolean floorOnly) {
        Statistic cpu = floorOnly ? absolute(config, 2) : overhead(config, 4, 2);
        Statistic wall = floorOnly ? absolute(config, 1) : overhead(config, 3, 1);
        return String.format(Locale.ROOT, "| %s | %s | %s | %s |%n", name, what,
                withQuartiles(all, random, cpu, config, floorOnly ? -1 : 4, 2),
                withQuartiles(all, random, wall, config, floorOnly ? -1 : 3, 1));
    }

    private static String ratioRow(String label, Map<String, List<double[]>> all, Random random, String num,
            String den, boolean relative, int sessions, String target) {
        StringBuilder r = new StringBuilder("| " + label + " | ");
        for (int[] idx : new int[][] {{4, 2}, {3, 1}}) {
            Statistic stat = ratio(num, den, idx[0], idx[1], relative);
            r.append(interval(all, random, stat)).append("; ");
            for (int session = 0; session < sessions; session++) {
                r.append(String.format(Locale.ROOT, session == 0 ? "%.2f" : ", %.2f", stat.of(only(all, session))));
            }
            r.append(" | ");
        }
        return r.append(target).append(" |\n").toString();
    }

    private static Statistic absolute(String config, int idx) {
        return pairs -> median(pairs.get(config), p -> p[idx] / 1000.0);
    }

    private static Statistic overhead(String config, int m, int f) {
        return pairs -> median(pairs.get(config), p -> (p[m] - p[f]) / 1000.0);
    }

    /** Difference of the median overheads, in µs, times scale (per call when scale is classes per call). */
    private static Statistic difference(String num, String den, int m, int f, double scale) {
        java.util.function.ToDoubleFunction<double[]> value = p -> (p[m] - p[f]) / 1000.0;
        return pairs -> (median(pairs.get(num), value) - median(pairs.get(den), value)) * scale;
    }

    /** Ratio of medians: of the overheads, or (relative) of the times relative to the floor. */
    private static Statistic ratio(String num, String den, int m, int f, boolean relative) {
        java.util.function.ToDoubleFunction<double[]> value = relative ? p -> p[m] / p[f] : p -> p[m] - p[f];
        return pairs -> median(pairs.get(num), value) / median(pairs.get(den), value);
    }

    private static Map<String, List<double[]>> only(Map<String, List<double[]>> all, int session) {
        Map<String, List<double[]>> one = new LinkedHashMap<>();
        for (Map.Entry<String, List<double[]>> e : all.entrySet()) {
            List<double[]> kept = new ArrayList<>();
            for (double[] p : e.getValue()) {
                if ((int) p[0] == session) {
                    kept.add(p);
                }
            }
            one.put(e.getKey(), kept);
        }
        return one;
    }

    /** Point value and 95% interval: resample sessions, then each chosen session's rounds. */
    private static String interval(Map<String, List<double[]>> all, Random random, Statistic stat) {
        double[] b = bootstrap(all, random, stat);
        return String.format(Locale.ROOT, "%.2f [%.2f, %.2f]", stat.of(all), b[0], b[1]);
    }

    private static String withQuartiles(Map<String, List<double[]>> all, Random random, Statistic stat, String config,
            int m, int f) {
        double[] values = new double[all.get(config).size()];
        for (int i = 0; i < values.length; i++) {
            double[] p = all.get(config).get(i);
            values[i] = (m < 0 ? p[f] : p[m] - p[f]) / 1000.0;
        }
        Arrays.sort(values);
        return String.format(Locale.ROOT, "%s (%.2f–%.2f)", interval(all, random, stat), values[values.length / 4],
                values[(3 * values.length) / 4]);
    }

    private static double[] bootstrap(Map<String, List<double[]>> all, Random random, Statistic stat) {
        int sessions = 0;
        for (List<double[]> pairs : all.values()) {
            for (double[] p : pairs) {
                sessions = Math.max(sessions, (int) p[0] + 1);
            }
        }
        List<Map<String, List<double[]>>> bySession = new ArrayList<>();
        for (int session = 0; session < sessions; session++) {
            bySession.add(only(all, session));
        }
        int count = 2000;
        double[] values = new double[count];
        for (int i = 0; i < count; i++) {
            Map<String, List<double[]>> sample = new LinkedHashMap<>();
            for (String config : all.keySet()) {
                sample.put(config, new ArrayList<>());
            }
            for (int k = 0; k < sessions; k++) {
                Map<String, List<double[]>> chosen = bySession.get(random.nextInt(sessions));
                for (Map.Entry<String, List<double[]>> e : chosen.entrySet()) {
                    List<double[]> pairs = e.getValue();
                    for (int j = 0; j < pairs.size(); j++) {
                        sample.get(e.getKey()).add(pairs.get(random.nextInt(pairs.size())));
                    }
                }
            }
            values[i] = stat.of(sample);
        }
        Arrays.sort(values);
        return new double[] {values[(int) (0.025 * count)], values[(int) (0.975 * count)]};
    }

    private static double median(List<double[]> pairs, java.util.function.ToDoubleFunction<double[]> value) {
        double[] s = new double[pairs.size()];
        for (int i = 0; i < s.length; i++) {
            s[i] = value.applyAsDouble(pairs.get(i));
        }
        Arrays.sort(s);
        int k = s.length / 2;
        return s.length % 2 == 1 ? s[k] : (s[k - 1] + s[k]) / 2;
    }
}
