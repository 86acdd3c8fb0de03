package qvstress;

import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.nio.file.attribute.PosixFilePermissions;
import java.util.ArrayList;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;
import java.util.Random;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicInteger;
import java.util.regex.Pattern;
import qv.vantrel.quorvane.Quorvane;

/**
 * The log file when the system says no, each row in a child JVM: a working folder the
 * default file cannot be created in, a log folder made read-only while the log rotates, a
 * non-empty folder in a rotated file's place, and {@code kill -9} while buffered lines are
 * written. Folders that may not be written stop anyone but root: run as root (as CI does),
 * the child drops every capability (setpriv), so that the folder stops it.
 *
 * <p>Usage: {@code LogFaultsCase unwritable-working-folder|rotation-read-only-folder|
 * rotation-folder-in-place|kill-buffered}
 */
public final class LogFaultsCase {
    private LogFaultsCase() {
    }

    private static final String PROPERTY = "-Dqv.vantrel.quorvane.log.";
    private static final Pattern LOG_LINE = Pattern.compile(
            "\\[\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2}\\] \\[(trace|debug|info|warning|error)\\] \\[Quorvane\\] .+");
    private static final String SKIPPED = "[Quorvane] Skipped by filter: ";

    public static void main(String[] args) throws Exception {
        if (args[0].equals("child")) {
            child(args[1]);
            return;
        }
        Support.watchdog(240, "log faults " + args[0]);
        switch (args[0]) {
            case "unwritable-working-folder" -> unwritableWorkingFolder();
            case "rotation-read-only-folder" -> failingRotation("read-only-folder", "Permission denied");
            case "rotation-folder-in-place" -> failingRotation("folder-in-place", "Is a directory");
            case "kill-buffered" -> killBuffered();
            default -> throw new IllegalArgumentException(args[0]);
        }
        System.out.println("log faults " + args[0] + ": passed");
    }

    // ---- the parent's side

    /** Whether this JVM runs as root, whom no file permission stops. */
    private static boolean root() throws Exception {
        return ((Integer) Files.getAttribute(Paths.get("/proc/self"), "unix:uid")) == 0;
    }

    /**
     * Starts the child for row in dir, output to output; with no capability when this JVM runs as
     * root and withoutCapabilities says so.
     */
    private static Process start(Path dir, Path output, boolean withoutCapabilities, List<String> jvmArgs, String row)
            throws Exception {
        List<String> command = new ArrayList<>();
        if (withoutCapabilities && root()) {
            // Root without any capability: its own folders' permission bits stop it, and it
            // still reaches a build below a folder only root may enter (a mktemp clone).
            command.addAll(List.of("setpriv", "--bounding-set=-all", "--inh-caps=-all", "--"));
        }
        List<String> options = new ArrayList<>(jvmArgs);
        options.add("-XX:ErrorFile=/tmp/hs_err_qvstress_pid%p.log");
        command.addAll(Support.childJvm(options, "qvstress.LogFaultsCase", "child", row));
        return new ProcessBuilder(command).directory(dir.toFile()).redirectErrorStream(true)
                .redirectOutput(output.toFile()).start();
    }

    /** Waits for the child, which must end with status 0 and no JNI complaint; returns its output. */
    private static String finished(Process child, Path output) throws Exception {
        Support.check(child.waitFor(180, TimeUnit.SECONDS), "the child did not end");
        String text = Files.readString(output, StandardCharsets.UTF_8);
        Support.check(child.exitValue() == 0, "child exit status " + child.exitValue() + ":\n" + text);
        for (String line : Support.jniComplaints(output)) {
            Support.fail("child: " + line);
        }
        return text;
    }

    /** The library's lines in a child's output (its console). */
    private static List<String> libraryLines(String output) {
        List<String> lines = new ArrayList<>();
        for (String line : output.split("\n")) {
            if (line.contains("[Quorvane]")) {
                lines.add(line.substring(line.indexOf("] [") + 2));  // without the time stamp
            }
        }
        return lines;
    }

    // The default libagent.log in a working folder nobody may write: the library starts and
    // logs to the console, and its one error line names the file with its folder.
    private static void unwritableWorkingFolder() throws Exception {
        Path dir = Files.createDirectories(Paths.get("work"));
        Files.setPosixFilePermissions(dir, PosixFilePermissions.fromString("r-xr-xr-x"));
        Path output = Paths.get("output.txt");
        String text = finished(start(dir, output, true, List.of(), "unwritable-working-folder"), output);
        String file = dir.toRealPath().resolve("libagent.log").toString();
        List<String> errors = libraryLines(text).stream().filter(l -> l.startsWith("[error]")).toList();
        Support.check(errors.equals(List.of("[error] [Quorvane] Could not open log file " + file
                + ", logging to the console only: Failed opening file " + file + " for writing: Permission denied")),
                "the error lines: " + errors);
        Support.check(!Files.exists(dir.resolve("libagent.log")), "libagent.log was created");
        Support.check(text.contains("Skipped by filter: faults/w0009"), "the console stopped logging:\n" + text);
    }

    // The child does the work and its checks; here, what reached standard error with the
    // console off: the failure once, with the right files and reason, then the recovery.
    private static void failingRotation(String row, String reason) throws Exception {
        Path dir = Files.createDirectories(Paths.get("work"));
        Files.setPosixFilePermissions(dir, PosixFilePermissions.fromString("rwxrwxrwx"));
        Path output = Paths.get("output.txt");
        List<String> jvmArgs = List.of(PROPERTY + "file=logs/app.log", PROPERTY + "maxSize=4KB",
                PROPERTY + "maxFiles=3", PROPERTY + "console=off");
        String text = finished(start(dir, output, row.equals("read-only-folder"), jvmArgs, row), output);
        Path logs = dir.toRealPath().resolve("logs");
        String name = logs.resolve("app.log").toString();
        List<String> expected = List.of(
                "[error] [Quorvane] Could not rotate log file " + name + " (renaming " + logs.resolve("app.2.log")
                        + " to " + logs.resolve("app.3.log") + ": " + reason + "): it grows past its size limit, "
                        + "losing no line, until a rotation succeeds (tried again at most once a second)",
                "[info] [Quorvane] Log file " + name + " rotates again");
        Support.check(libraryLines(text).equals(expected), "the library's lines on standard error: "
                + libraryLines(text) + "\nexpected: " + expected);
        for (String line : text.split("\n")) {
            if (line.startsWith("figures: ")) {
                System.out.println(line.substring("figures: ".length()));
            }
        }
    }

    // kill -9, again and again, while four threads load classes and their lines are written in
    // blocks: whatever the file holds is whole lines, up to its very end.
    private static void killBuffered() throws Exception {
        Random random = new Random(24);
        int kills = Support.size(12, 4);
        List<Long> delays = new ArrayList<>();
        for (int i = 0; i < kills; i++) {
            Path dir = Files.createDirectories(Paths.get("kill-" + i));
            Path output = dir.resolve("output.txt");
            Process child = start(dir, output, false, List.of(PROPERTY + "flush=buffered", PROPERTY + "console=off"),
                    "kill-buffered");
            while (!Files.readString(output, StandardCharsets.ISO_8859_1).contains("loading\n")) {
                Support.check(child.isAlive(), "the child ended before it was killed");
                Thread.sleep(5);
            }
            long delay = random.nextInt(1500);
            delays.add(delay);
            Thread.sleep(delay);
            child.destroyForcibly();  // SIGKILL
            Support.check(child.waitFor(60, TimeUnit.SECONDS), "the killed child did not end");
            Support.check(child.exitValue() == 137, "child exit status " + child.exitValue() + ", expected 137");

            String log = Files.readString(dir.resolve("libagent.log"), StandardCharsets.ISO_8859_1);
            Support.check(!log.isEmpty(), "kill " + i + ": libagent.log is empty");
            Support.check(log.endsWith("\n"), "kill " + i + " (after " + delay + " ms) left libagent.log ending in "
                    + "the middle of a line: ..." + log.substring(Math.max(0, log.length() - 120)));
            for (String line : log.substring(0, log.length() - 1).split("\n", -1)) {
                Support.check(LOG_LINE.matcher(line).matches(), "kill " + i + ": not a whole log line: " + line);
            }
        }
        System.out.println(kills + " kills, " + delays + " ms after the first lines reached the file: every file "
                + "whole lines to its end");
    }

    // ---- the child's side

    private static void child(String row) throws Exception {
        switch (row) {
            case "unwritable-working-folder" -> {
                Support.check(Quorvane.initNative(), "initNative failed");
                Support.ParallelLoader loader = new Support.ParallelLoader(name -> Support.classFile(name, false, 0));
                load(loader, "faults/w", 10);
            }
            case "read-only-folder", "folder-in-place" -> rotationChild(row.equals("read-only-folder"));
            case "kill-buffered" -> killedChild();
            default -> throw new IllegalArgumentException(row);
        }
    }

    /** Loads count new classes named prefix0000 and on, one after the other; each logs its line. */
    private static void load(Support.ParallelLoader loader, String prefix, int count) throws Exception {
        for (int i = 0; i < count; i++) {
            Class.forName(String.format("%s%04d", prefix, i).replace('/', '.'), false, loader);
        }
    }

    /** The shortest of rounds rounds of perRound class loads each, in nanoseconds. */
    private static long fastestRound(Support.ParallelLoader loader, String prefix, int rounds, int perRound)
            throws Exception {
        long best = Long.MAX_VALUE;
        for (int r = 0; r < rounds; r++) {
            long started = System.nanoTime();
            load(loader, prefix + r + "x", perRound);
            best = Math.min(best, System.nanoTime() - started);
        }
        return best;
    }

    private static Map<String, String> files(Path logs) throws Exception {
        Map<String, String> files = new LinkedHashMap<>();
        for (String name : List.of("app.log", "app.1.log", "app.2.log")) {
            Path file = logs.resolve(name);
            files.put(name, Files.isRegularFile(file) ? Files.readString(file, StandardCharsets.ISO_8859_1) : null);
        }
        return files;
    }

    /** The classes whose skip line the text holds, in order, among those named with prefix. */
    private static List<String> skipped(String text, String prefix) {
        List<String> names = new ArrayList<>();
        for (String line : text.split("\n")) {
            int at = line.indexOf(SKIPPED + prefix);
            if (at >= 0) {
                names.add(line.substring(at + SKIPPED.length()));
            }
        }
        return names;
    }

    // Rotation at 4 KB, 3 files kept. Rounds of class loads while the log rotates, then with
    // the obstacle in place (the folder read-only, or a folder as app.3.log, where the next
    // rotation moves app.2.log): no line written before is lost, each line after it is in
    // app.log in order, and loading is about as fast as while rotating. Then the obstacle
    // goes, and after a second the log rotates again, keeping every line.
    private static void rotationChild(boolean readOnly) throws Exception {
        Path logs = Files.createDirectories(Paths.get("logs"));
        Support.check(Quorvane.initNative(), "initNative failed");
        Support.ParallelLoader loader = new Support.ParallelLoader(name -> Support.classFile(name, false, 0));
        int rounds = 5;
        int perRound = Support.size(400, 100);
        fastestRound(loader, "faults/warm", rounds, perRound);
        long rotating = fastestRound(loader, "faults/a", rounds, perRound);
        Support.check(Files.isRegularFile(logs.resolve("app.3.log")), "the log did not rotate three times");

        Map<String, String> before = files(logs);
        Path obstacle = logs.resolve("app.3.log");
        if (readOnly) {
            Files.setPosixFilePermissions(logs, PosixFilePermissions.fromString("r-xr-xr-x"));
        } else {
            Files.delete(obstacle);
            Files.createDirectory(obstacle);
            Files.writeString(obstacle.resolve("kept.txt"), "kept\n");
        }
        long failing = fastestRound(loader, "faults/b", rounds, perRound);

        Map<String, String> after = files(logs);
        Support.check(after.get("app.1.log").equals(before.get("app.1.log"))
                && after.get("app.2.log").equals(before.get("app.2.log")), "a rotated file changed");
        String current = after.get("app.log");
        Support.check(current.startsWith(before.get("app.log")), "app.log lost lines it held");
        Support.check(current.length() > 4 * 4096, "app.log did not grow past its limit: " + current.length());
        List<String> expected = new ArrayList<>();
        for (int r = 0; r < rounds; r++) {
            for (int i = 0; i < perRound; i++) {
                expected.add(String.format("faults/b%dx%04d", r, i));
            }
        }
        Support.check(skipped(current, "faults/b").equals(expected), "app.log lacks lines of the classes loaded since");
        double ratio = (double) failing / rotating;
        System.out.printf("figures: fastest of %d rounds of %d class loads: %.1f ms while rotating, %.1f ms with "
                + "rotation failing (%s): %.2f%n", rounds, perRound, rotating / 1e6, failing / 1e6,
                readOnly ? "read-only folder" : "folder in app.3.log's place", ratio);
        Support.check(ratio < 2.5, "loading with rotation failing took " + ratio + " times as long");

        if (readOnly) {
            Files.setPosixFilePermissions(logs, PosixFilePermissions.fromString("rwxr-xr-x"));
        } else {
            Files.delete(obstacle.resolve("kept.txt"));
            Files.delete(obstacle);
        }
        Thread.sleep(TimeUnit.SECONDS.toMillis(1) + 200);
        load(loader, "faults/c", 20);
        Quorvane.setLogLevel("off");
        String rotated = Files.readString(logs.resolve("app.1.log"), StandardCharsets.ISO_8859_1);
        Support.check(rotated.startsWith(current), "the rotation after the failure lost lines");
        Support.check(skipped(Files.readString(logs.resolve("app.log"), StandardCharsets.ISO_8859_1), "faults/c")
                .size() + skipped(rotated, "faults/c").size() == 20, "lines of the last classes are missing");
    }

    // Four threads load classes until the parent kills this JVM, which it does once lines have
    // reached the file (a block, or the flusher's first round).
    private static void killedChild() throws Exception {
        Support.ParallelLoader loader = new Support.ParallelLoader(name -> Support.classFile(name, false, 0));
        Support.check(Quorvane.initNative(), "initNative failed");
        AtomicInteger next = new AtomicInteger();
        for (int t = 0; t < 4; t++) {
            Thread thread = new Thread(() -> {
                while (true) {
                    try {
                        Class.forName("faults.k" + next.getAndIncrement(), false, loader);
                    } catch (ClassNotFoundException e) {
                        throw new IllegalStateException(e);
                    }
                }
            }, "loading-" + t);
            thread.start();
        }
        Path log = Paths.get("libagent.log");
        while (Files.size(log) == 0) {
            Thread.sleep(5);
        }
        System.out.print("loading\n");
        System.out.flush();
        Thread.sleep(TimeUnit.MINUTES.toMillis(2));
    }
}
