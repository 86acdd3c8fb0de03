package qvstress;

import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.ArrayList;
import java.util.List;
import java.util.Random;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicInteger;
import qv.vantrel.quorvane.Quorvane;
import qv.vantrel.quorvane.remapper.Remap;

/**
 * Many JVMs call System.exit while eight threads are inside class loading, selected
 * and not: static destruction then runs while hooks are still in flight. No child may
 * crash, hang or complain under -Xcheck:jni.
 */
public final class ExitDuringLoadCase {
    private static final int CHILDREN = Support.size(50, 8);
    private static final int AT_ONCE = 2;
    private static final int LOADING_THREADS = 8;
    private static final long CHILD_TIMEOUT_S = 60;

    private ExitDuringLoadCase() {
    }

    public static void main(String[] args) throws Exception {
        if (args.length > 0 && args[0].equals("child")) {
            child(Long.parseLong(args[1]));
            return;
        }
        Support.watchdog(380, "exit during loading");
        long began = System.nanoTime();
        List<String> problems = new ArrayList<>();
        for (int first = 0; first < CHILDREN; first += AT_ONCE) {
            List<Process> running = new ArrayList<>();
            List<Path> dirs = new ArrayList<>();
            for (int n = first; n < Math.min(CHILDREN, first + AT_ONCE); n++) {
                Path dir = Files.createDirectories(Paths.get("child-" + n));
                dirs.add(dir);
                List<String> command = Support.childJvm(List.of("-XX:ErrorFile=hs_err_pid%p.log"),
                        "qvstress.ExitDuringLoadCase", "child", Integer.toString(n));
                running.add(new ProcessBuilder(command).directory(dir.toFile()).redirectErrorStream(true)
                        .redirectOutput(dir.resolve("output.txt").toFile()).start());
            }
            for (int i = 0; i < running.size(); i++) {
                check(running.get(i), dirs.get(i), problems);
            }
        }
        long millis = (System.nanoTime() - began) / 1_000_000;
        System.out.println("exit during loading: " + CHILDREN + " JVMs in " + millis + " ms, problems: " + problems.size());
        problems.forEach(System.out::println);
        Support.check(problems.isEmpty(), problems.size() + " of " + CHILDREN + " JVMs misbehaved");
    }

    private static void check(Process child, Path dir, List<String> problems) throws Exception {
        if (!child.waitFor(CHILD_TIMEOUT_S, TimeUnit.SECONDS)) {
            // Keep the evidence of the hang before ending it.
            Process jstack = new ProcessBuilder(Paths.get(System.getProperty("java.home"), "bin", "jstack").toString(),
                    Long.toString(child.pid())).redirectErrorStream(true).redirectOutput(dir.resolve("jstack.txt").toFile()).start();
            jstack.waitFor(30, TimeUnit.SECONDS);
            child.destroyForcibly().waitFor();
            problems.add(dir + ": hung (thread dump in jstack.txt)");
            return;
        }
        if (child.exitValue() != 0) {
            problems.add(dir + ": exit status " + child.exitValue());
        }
        try (var files = Files.list(dir)) {
            if (files.anyMatch(p -> p.getFileName().toString().startsWith("hs_err"))) {
                problems.add(dir + ": crashed (hs_err file)");
            }
        }
        for (String line : Support.jniComplaints(dir.resolve("output.txt"))) {
            problems.add(dir + ": " + line);
        }
        if (!Files.readString(dir.resolve("output.txt"), StandardCharsets.ISO_8859_1).contains("exiting after")) {
            problems.add(dir + ": never got to exit");
        }
    }

    private static void child(long seed) throws Exception {
        Remap.setTransformer((name, bytes) -> bytes);
        Support.check(Quorvane.addInclude("exit/sel/"), "addInclude failed");
        Support.check(Quorvane.initNative(), "initNative failed");
        AtomicInteger loaded = new AtomicInteger();
        for (int t = 0; t < LOADING_THREADS; t++) {
            final int id = t;
            Thread thread = new Thread(() -> {
                Support.ParallelLoader loader = new Support.ParallelLoader(name -> Support.classFile(name, false, 0));
                for (int i = 0; ; i++) {
                    String pkg = i % 2 == 0 ? "exit.sel." : "exit.unsel.";
                    try {
                        Class.forName(pkg + "T" + id + "C" + i, false, loader);
                    } catch (ClassNotFoundException e) {
                        throw new IllegalStateException(e);
                    }
                    loaded.incrementAndGet();
                }
            }, "loader-" + t);
            thread.setDaemon(t % 2 == 0);  // both kinds: exit must not wait for either
            thread.start();
        }
        Random random = new Random(seed);
        while (loaded.get() < 200 + random.nextInt(800)) {
            Thread.onSpinWait();
        }
        System.out.println("exiting after " + loaded.get() + " classes");
        System.exit(0);
    }
}
