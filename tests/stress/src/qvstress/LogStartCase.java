package qvstress;

import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.CountDownLatch;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicBoolean;
import qv.vantrel.quorvane.Quorvane;

/**
 * The first initNative starts the log while other threads edit the filters, whose
 * natives log through the logger that the start replaces. Many JVMs, each with four
 * editing threads hammering the natives around the first initNative: none may crash,
 * hang or draw a -Xcheck:jni warning, and every edit must still be in force afterwards.
 */
public final class LogStartCase {
    private static final int CHILDREN = Support.size(20, 5);
    private static final int EDITORS = 4;

    private LogStartCase() {
    }

    public static void main(String[] args) throws Exception {
        if (args.length > 0 && args[0].equals("child")) {
            child();
            return;
        }
        Support.watchdog(150, "log start under filter edits");
        List<String> problems = new ArrayList<>();
        for (int n = 0; n < CHILDREN; n++) {
            Path dir = Files.createDirectories(Paths.get("child-" + n));
            Process child = new ProcessBuilder(Support.childJvm(List.of("-XX:ErrorFile=hs_err_pid%p.log"),
                    "qvstress.LogStartCase", "child")).directory(dir.toFile()).redirectErrorStream(true)
                    .redirectOutput(dir.resolve("output.txt").toFile()).start();
            if (!child.waitFor(60, TimeUnit.SECONDS)) {
                child.destroyForcibly().waitFor();
                problems.add(dir + ": hung");
                continue;
            }
            String output = Files.readString(dir.resolve("output.txt"), StandardCharsets.ISO_8859_1);
            if (child.exitValue() != 0 || !output.contains("edits in force")) {
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
        }
        problems.forEach(System.out::println);
        Support.check(problems.isEmpty(), problems.size() + " of " + CHILDREN + " JVMs misbehaved");
        System.out.println("log start under filter edits: " + CHILDREN + " JVMs, no problem");
    }

    private static void child() throws Exception {
        AtomicBoolean stop = new AtomicBoolean();
        CountDownLatch editing = new CountDownLatch(EDITORS);
        List<Thread> editors = new ArrayList<>();
        for (int t = 0; t < EDITORS; t++) {
            String entry = "logstart/" + t + "/";
            Thread editor = new Thread(() -> {
                editing.countDown();
                while (!stop.get()) {
                    Quorvane.addExclude(entry);
                    Quorvane.removeExclude(entry);
                    Quorvane.addInclude(entry);
                }
            }, "editor-" + t);
            editors.add(editor);
            editor.start();
        }
        editing.await();
        Support.check(Quorvane.initNative(), "initNative failed");
        stop.set(true);
        for (Thread editor : editors) {
            editor.join();
        }
        // Each editor's last step added its include: all four are in force.
        Support.ParallelLoader loader = new Support.ParallelLoader(name -> Support.classFile(name, false, 0));
        qv.vantrel.quorvane.remapper.Remap.setTransformer((name, bytes) -> Support.classFile(name, true, 0));
        for (int t = 0; t < EDITORS; t++) {
            Class<?> type = Class.forName("logstart." + t + ".Probe", false, loader);
            try {
                type.getField("remapped");
            } catch (NoSuchFieldException e) {
                Support.fail("include logstart/" + t + "/ not in force");
            }
        }
        System.out.println("edits in force");
    }
}
