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
 * Runs the configurations side by side: one long-lived JVM per configuration, all
 * pinned with taskset, driven in lock step so that every measured round follows a
 * floor round on the same CPU(s) a moment before it. Configurations are interleaved
 * in a fresh random order in each repetition. Prints medians with their intervals and
 * the headline ratios, and writes every pair to pairs.tsv.
 *
 * <p>Usage: {@code Conductor <key>=<value>...}, keys: java, cp, agent, lib, corpus,
 * out, rounds, warmup, cpu, cpus4, threads, jvmopts (space separated), and otherlib (a folder
 * holding another build of libquorvane.so, measured as Cx and Dx beside C and D).
 */
public final class Conductor {
    private static final double Z95 = 1.959964;

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

    /** A measured configuration and the floor it is compared with. */
    private static final class Config {
        final String name;
        final String what;
        final Jvm jvm;
        final Jvm floor;
        final List<double[]> pairs = new ArrayList<>(); // floor wall, floor cpu, wall, cpu (ns per class)

        Config(String name, String what, Jvm jvm, Jvm floor) {
            this.name = name;
            this.what = what;
            this.jvm = jvm;
            this.floor = floor;
        }

        double[] column(int measured, int base) {
            double[] d = new double[pairs.size()];
            for (int i = 0; i < d.length; i++) {
                d[i] = (pairs.get(i)[measured] - pairs.get(i)[base]) / 1000.0;
            }
            return d;
        }
    }

    public static void main(String[] args) throws Exception {
        Map<String, String> opt = new LinkedHashMap<>();
        opt.put("rounds", "30");
        opt.put("warmup", "4");
        opt.put("cpu", "1");
        opt.put("cpus4", "0,1");
        opt.put("threads", "4");
        opt.put("jvmopts", "-XX:+UseSerialGC -Xms512m -Xmx512m");
        for (String a : args) {
            int eq = a.indexOf('=');
            opt.put(a.substring(0, eq), a.substring(eq + 1));
        }
        int rounds = Integer.parseInt(opt.get("rounds"));
        int warmup = Integer.parseInt(opt.get("warmup"));
        Path out = Paths.get(opt.get("out"));
        String prefix = "com/acme/orders/";

        List<Jvm> all = new ArrayList<>();
        Jvm a1 = start(all, opt, "A", opt.get("cpu"), 1, null, false, out);
        Jvm b1 = start(all, opt, "B", opt.get("cpu"), 1, null, true, out);
        Jvm c1 = start(all, opt, "C", opt.get("cpu"), 1, "selected", false, out);
        Jvm d1 = start(all, opt, "D", opt.get("cpu"), 1, "none", false, out);
        Jvm e1 = start(all, opt, "E", opt.get("cpu"), 1, "many", false, out);
        int threads = Integer.parseInt(opt.get("threads"));
        Jvm a4 = start(all, opt, "A" + threads, opt.get("cpus4"), threads, null, false, out);
        Jvm b4 = start(all, opt, "B" + threads, opt.get("cpus4"), threads, null, true, out);
        Jvm c4 = start(all, opt, "C" + threads, opt.get("cpus4"), threads, "selected", false, out);

        List<Config> configs = new ArrayList<>();
        configs.add(new Config("B", "JDK route: -javaagent, copy for " + prefix, b1, a1));
        configs.add(new Config("C", "library, selected packages included", c1, a1));
        configs.add(new Config("D", "library, nothing included (skip path)", d1, a1));
        configs.add(new Config("E", "C plus 10,000 non-matching entries", e1, a1));
        configs.add(new Config("FB", "B with " + threads + " loading threads", b4, a4));
        configs.add(new Config("FC", "C with " + threads + " loading threads", c4, a4));

        // Another build of the library beside this one (e.g. before a change), in the same run.
        String other = opt.get("otherlib");
        if (other != null && !other.isEmpty()) {
            Jvm c0 = start(all, opt, "Cx", opt.get("cpu"), 1, "selected", other, false, out);
            Jvm d0 = start(all, opt, "Dx", opt.get("cpu"), 1, "none", other, false, out);
            configs.add(new Config("Cx", "C with the library in otherlib", c0, a1));
            configs.add(new Config("Dx", "D with the library in otherlib", d0, a1));
        }

        System.err.printf(Locale.ROOT, "warming up (%d rounds per JVM)%n", warmup);
        for (int w = 0; w < warmup; w++) {
            for (Jvm j : all) {
                j.round();
            }
        }
        Random random = new Random(42);
        int n = a1.classes;
        for (int r = 0; r < rounds; r++) {
            List<Config> order = new ArrayList<>(configs);
            Collections.shuffle(order, random);
            for (Config c : order) {
                long[] f = c.floor.round();
                long[] m = c.jvm.round();
                c.pairs.add(new double[] {f[0] / (double) n, f[1] / (double) n, m[0] / (double) n, m[1] / (double) n});
            }
            System.err.printf(Locale.ROOT, "round %d/%d done%n", r + 1, rounds);
        }
        for (Jvm j : all) {
            j.quit();
        }
        report(configs, n, rounds, opt, out);
    }

    private static Jvm start(List<Jvm> all, Map<String, String> opt, String label, String cpus, int threads,
            String lib, boolean agent, Path out) throws IOException {
        return start(all, opt, label, cpus, threads, lib, opt.get("lib"), agent, out);
    }

    private static Jvm start(List<Jvm> all, Map<String, String> opt, String label, String cpus, int threads,
            String lib, String libDir, boolean agent, Path out) throws IOException {
        List<String> cmd = new ArrayList<>(Arrays.asList("taskset", "-c", cpus, opt.get("java")));
        for (String o : opt.get("jvmopts").trim().split("\\s+")) {
            if (!o.isEmpty()) {
                cmd.add(o);
            }
        }
        if (agent) {
            cmd.add("-javaagent:" + opt.get("agent") + "=com/acme/orders/");
        }
        if (lib != null) {
            cmd.add("-Djava.library.path=" + libDir);
        }
        cmd.addAll(Arrays.asList("-cp", opt.get("cp"), "qvbench.LoadBench", "--corpus", opt.get("corpus"),
                "--threads", Integer.toString(threads)));
        if (lib != null) {
            cmd.addAll(Arrays.asList("--lib", lib));
        }
        Jvm j = new Jvm(label, cmd, out.resolve(label));
        all.add(j);
        return j;
    }

    private static void report(List<Config> configs, int n, int rounds, Map<String, String> opt, Path out)
            throws IOException {
        try (PrintWriter tsv = new PrintWriter(Files.newBufferedWriter(out.resolve("pairs.tsv")))) {
            tsv.println("config\tfloor_wall_ns\tfloor_cpu_ns\twall_ns\tcpu_ns\t(per class)");
            for (Config c : configs) {
                for (double[] p : c.pairs) {
                    tsv.printf(Locale.ROOT, "%s\t%.1f\t%.1f\t%.1f\t%.1f%n", c.name, p[0], p[1], p[2], p[3]);
                }
            }
        }
        Map<String, Config> byName = new LinkedHashMap<>();
        for (Config c : configs) {
            byName.put(c.name, c);
        }
        StringBuilder s = new StringBuilder();
        s.append(String.format(Locale.ROOT, "%d classes per round, %d measured rounds per configuration, each after a floor round;%n",
                n, rounds));
        s.append(String.format(Locale.ROOT, "single-thread JVMs pinned to CPU %s, %s-thread JVMs to CPUs %s; JVM options: %s%n",
                opt.get("cpu"), opt.get("threads"), opt.get("cpus4"), opt.get("jvmopts")));
        s.append("Overhead per loaded class over the floor round just before it, in microseconds:\n");
        s.append("median [95% interval of the median] (interquartile range)\n\n");
        s.append(String.format(Locale.ROOT, "| %-3s | %-42s | %-31s | %-31s |%n", "cfg", "configuration",
                "thread CPU µs/class", "wall µs/class"));
        s.append("|-----|--------------------------------------------|---------------------------------|---------------------------------|\n");
        s.append(String.format(Locale.ROOT, "| %-3s | %-42s | %-31s | %-31s |%n", "A", "floor, absolute per class (1 thread)",
                summary(floorColumn(byName.get("B").pairs, 1)), summary(floorColumn(byName.get("B").pairs, 0))));
        s.append(String.format(Locale.ROOT, "| %-3s | %-42s | %-31s | %-31s |%n", "A" + opt.get("threads"),
                "floor, absolute per class (" + opt.get("threads") + " threads)",
                summary(floorColumn(byName.get("FB").pairs, 1)), summary(floorColumn(byName.get("FB").pairs, 0))));
        for (Config c : configs) {
            s.append(String.format(Locale.ROOT, "| %-3s | %-42s | %-31s | %-31s |%n", c.name, c.what,
                    summary(c.column(3, 1)), summary(c.column(2, 0))));
        }
        Random random = new Random(7);
        s.append("\nHeadline ratios, median [95% bootstrap interval]:\n\n");
        s.append("| ratio | thread CPU | wall | target |\n|---|---|---|---|\n");
        ratioLine(s, "C overhead / B overhead", byName.get("C"), byName.get("B"), false, random, "<= 1.5");
        ratioLine(s, "E load time / C load time", byName.get("E"), byName.get("C"), true, random, "<= 1.05");
        ratioLine(s, "E overhead / C overhead", byName.get("E"), byName.get("C"), false, random, "(stricter view)");
        ratioLine(s, "FC overhead / FB overhead", byName.get("FC"), byName.get("FB"), false, random, "<= 2.0");
        if (byName.containsKey("Cx")) {
            ratioLine(s, "C overhead / Cx overhead (this build / otherlib)", byName.get("C"), byName.get("Cx"), false,
                    random, "");
            ratioLine(s, "D overhead / Dx overhead (this build / otherlib)", byName.get("D"), byName.get("Dx"), false,
                    random, "");
        }
        s.append(String.format(Locale.ROOT, "| D overhead, µs per class | %s | %s | <= 3.5 |%n",
                summary(byName.get("D").column(3, 1)), summary(byName.get("D").column(2, 0))));
        System.out.print(s);
        Files.write(out.resolve("summary.md"), s.toString().getBytes(StandardCharsets.UTF_8));
    }

    private static double[] floorColumn(List<double[]> pairs, int idx) {
        double[] d = new double[pairs.size()];
        for (int i = 0; i < d.length; i++) {
            d[i] = pairs.get(i)[idx] / 1000.0;
        }
        return d;
    }

    private static void ratioLine(StringBuilder s, String label, Config num, Config den, boolean relative,
            Random random, String target) {
        String cpu = ratio(num, den, 3, 1, relative, random);
        String wall = ratio(num, den, 2, 0, relative, random);
        s.append("| ").append(label).append(" | ").append(cpu).append(" | ").append(wall).append(" | ")
            .append(target).append(" |\n");
    }

    /**
     * Ratio of the two configurations' medians, either of the overhead over the floor
     * or (relative) of the time relative to the floor; interval by resampling each
     * configuration's pairs independently.
     */
    private static String ratio(Config num, Config den, int m, int f, boolean relative, Random random) {
        double[] x = values(num, m, f, relative);
        double[] y = values(den, m, f, relative);
        double point = median(x) / median(y);
        int b = 4000;
        double[] boot = new double[b];
        for (int i = 0; i < b; i++) {
            boot[i] = median(resample(x, random)) / median(resample(y, random));
        }
        Arrays.sort(boot);
        return String.format(Locale.ROOT, "%.2f [%.2f, %.2f]", point, boot[(int) (0.025 * b)], boot[(int) (0.975 * b)]);
    }

    private static double[] values(Config c, int m, int f, boolean relative) {
        double[] d = new double[c.pairs.size()];
        for (int i = 0; i < d.length; i++) {
            double[] p = c.pairs.get(i);
            d[i] = relative ? p[m] / p[f] : p[m] - p[f];
        }
        return d;
    }

    private static double[] resample(double[] x, Random random) {
        double[] r = new double[x.length];
        for (int i = 0; i < x.length; i++) {
            r[i] = x[random.nextInt(x.length)];
        }
        return r;
    }

    private static double median(double[] x) {
        double[] s = x.clone();
        Arrays.sort(s);
        int k = s.length / 2;
        return s.length % 2 == 1 ? s[k] : (s[k - 1] + s[k]) / 2;
    }

    /** Median, distribution-free 95% interval of the median from order statistics, and quartiles. */
    private static String summary(double[] x) {
        double[] s = x.clone();
        Arrays.sort(s);
        int len = s.length;
        int lo = Math.max(0, (int) Math.floor(len / 2.0 - Z95 * Math.sqrt(len) / 2));
        int hi = Math.min(len - 1, (int) Math.ceil(len / 2.0 + Z95 * Math.sqrt(len) / 2));
        return String.format(Locale.ROOT, "%.2f [%.2f, %.2f] (%.2f–%.2f)", median(s), s[lo], s[hi],
                s[len / 4], s[(3 * len) / 4]);
    }
}
