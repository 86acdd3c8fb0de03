package qvstress;

import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.ArrayList;
import java.util.List;
import java.util.Set;
import java.util.concurrent.ConcurrentHashMap;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicInteger;
import qv.vantrel.quorvane.Quorvane;
import qv.vantrel.quorvane.remapper.Remap;

/**
 * With buffered flushing, every line logged before the JVM ends normally is in the file
 * afterwards: after the end of main, after System.exit from another thread while classes
 * load, and after SIGTERM. A child JVM logs in buffered mode, to the file only, and prints
 * each class its transformer saw once its load has returned (the hook logs the class's line
 * before the load returns); the file must then hold, in whole lines, a line for every class
 * printed. A class loaded while the JVM shuts down may never reach the hook (the JVM stops
 * posting the event at its end), so only what the transformer saw counts.
 */
public final class LogFlushExitCase {
    private LogFlushExitCase() {
    }

    public static void main(String[] args) throws Exception {
        if (args[0].equals("child")) {
            child(args[1]);
            return;
        }
        String how = args[0];
        Support.watchdog(150, "buffered log at " + how);
        Path dir = Paths.get("child");
        Files.createDirectories(dir);
        Path output = dir.resolve("output.txt");
        Process child = new ProcessBuilder(Support.childJvm(List.of("-XX:ErrorFile=hs_err_pid%p.log"),
                "qvstress.LogFlushExitCase", "child", how))
                .directory(dir.toFile()).redirectErrorStream(true).redirectOutput(output.toFile()).start();
        if (how.equals("sigterm")) {
            while (!Files.readString(output, StandardCharsets.ISO_8859_1).contains("loading\n")) {
                Support.check(child.isAlive(), "the child ended before it was signalled");
                Thread.sleep(10);
            }
            child.destroy();  // SIGTERM
        }
        Support.check(child.waitFor(120, TimeUnit.SECONDS), "the child did not end");
        int expected = how.equals("sigterm") ? 143 : 0;
        Support.check(child.exitValue() == expected, "child exit status " + child.exitValue() + ", expected " + expected);
        for (String line : Support.jniComplaints(output)) {
            Support.fail("child: " + line);
        }

        List<String> loaded = new ArrayList<>();
        String text = Files.readString(output, StandardCharsets.ISO_8859_1);
        for (String line : text.substring(0, text.lastIndexOf('\n') + 1).split("\n")) {
            if (line.startsWith("loaded ")) {
                loaded.add(line.substring("loaded ".length()));
            }
        }
        Support.check(loaded.size() >= 200, "the child loaded only " + loaded.size() + " classes");
        String log = Files.readString(dir.resolve("libagent.log"), StandardCharsets.ISO_8859_1);
        Support.check(log.endsWith("\n"), "libagent.log ends in the middle of a line");
        Set<String> remapped = Support.remappedInLog(List.of(log.split("\n"))).keySet();
        List<String> missing = new ArrayList<>();
        for (String name : loaded) {
            if (!remapped.contains(name)) {
                missing.add(name);
            }
        }
        Support.check(missing.isEmpty(), missing.size() + " of " + loaded.size() + " classes have no line, e.g. "
                + missing.subList(0, Math.min(5, missing.size())));
        System.out.println("buffered log at " + how + ": all " + loaded.size() + " lines in the file");
    }

    // Each class goes through the transformer, which leaves it as it is: one info line.
    private static void child(String how) throws Exception {
        Quorvane.setLogConsole("off");
        Quorvane.setLogFlush("buffered");
        Support.check(Quorvane.addInclude("flush/"), "addInclude failed");
        Remap.setTransformer((name, bytes) -> {
            SEEN.add(name);
            return bytes;
        });
        Support.check(Quorvane.initNative(), "initNative failed");
        Support.ParallelLoader loader = new Support.ParallelLoader(name -> Support.classFile(name, false, 0));
        AtomicInteger next = new AtomicInteger();
        if (how.equals("end-of-main")) {
            for (int i = 0; i < 300; i++) {
                load(loader, next);
            }
            return;
        }
        // Several threads, so that the exit meets lines being written and the flusher.
        List<Thread> loading = new ArrayList<>();
        for (int t = 0; t < LOADING_THREADS; t++) {
            Thread thread = new Thread(() -> {
                while (true) {
                    load(loader, next);
                }
            }, "loading-" + t);
            thread.setDaemon(true);
            thread.start();
            loading.add(thread);
        }
        // Past the flusher's first round too: the exit meets it at work.
        long started = System.nanoTime();
        while (next.get() < 300 || System.nanoTime() - started < 1_500_000_000L) {
            Thread.sleep(10);
        }
        if (how.equals("sigterm")) {
            System.out.print("loading\n");
            System.out.flush();
            loading.get(0).join();  // until the signal ends the JVM
        } else {
            Thread exit = new Thread(() -> System.exit(0), "exit");
            exit.start();
            exit.join();
        }
    }

    private static final int LOADING_THREADS = 4;

    /** Classes the transformer was handed. */
    private static final Set<String> SEEN = ConcurrentHashMap.newKeySet();

    private static void load(Support.ParallelLoader loader, AtomicInteger next) {
        String name = "flush/Exit" + next.getAndIncrement();
        try {
            Class.forName(name.replace('/', '.'), false, loader);
        } catch (ClassNotFoundException e) {
            throw new IllegalStateException(e);
        }
        if (SEEN.contains(name)) {
            synchronized (System.out) {  // one whole line at a time
                System.out.print("loaded " + name + "\n");
                System.out.flush();
            }
        }
    }
}
