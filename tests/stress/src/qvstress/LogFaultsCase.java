package qvstress;

import java.io.BufferedReader;
import java.io.FileOutputStream;
import java.io.IOException;
import java.io.InputStreamReader;
import java.io.UncheckedIOException;
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
import java.util.concurrent.atomic.AtomicBoolean;
import java.util.concurrent.atomic.AtomicInteger;
import java.util.regex.Pattern;
import qv.vantrel.quorvane.Quorvane;
import qv.vantrel.quorvane.remapper.Remap;

/**
 * The log file when the system says no, each row in a child JVM: a working folder the
 * default file cannot be created in, a log folder made read-only while the log rotates, a
 * non-empty folder in a rotated file's place, {@code kill -9} while buffered lines are
 * written, and a disk that fills and gets room again while classes load. Folders that may
 * not be written stop anyone but root: run as root (as CI does), the child drops every
 * capability (setpriv), so that the folder stops it.
 *
 * <p>The disk rows: {@code disk-full-*} fill a small tmpfs mounted under the case's folder
 * when this JVM is root and may mount one, and otherwise lower the child's file size limit
 * ({@code prlimit --fsize}, the {@code ulimit -f} of a running process) to the log's size;
 * {@code size-limit-*} always take the second route.
 *
 * <p>Usage: {@code LogFaultsCase unwritable-working-folder|rotation-read-only-folder|
 * rotation-folder-in-place|kill-buffered|disk-full-line|disk-full-buffered|size-limit-line|
 * size-limit-buffered}
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
            case "disk-full-line" -> diskFull(true, "line");
            case "disk-full-buffered" -> diskFull(true, "buffered");
            case "size-limit-line" -> diskFull(false, "line");
            case "size-limit-buffered" -> diskFull(false, "buffered");
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


    /** Runs a command to its end; its output goes to this JVM's. Returns its exit status. */
    private static int run(String... command) throws Exception {
        Process process = new ProcessBuilder(command).inheritIO().start();
        if (!process.waitFor(60, TimeUnit.SECONDS)) {
            process.destroyForcibly();
            throw new IllegalStateException(String.join(" ", command) + " did not end");
        }
        return process.exitValue();
    }

    /** What a running child printed: its lines, and how many classes it loaded. */
    private static final class Output {
        private final List<String> lines = new ArrayList<>();
        private int loaded;

        Output(Process child) {
            Thread reader = new Thread(() -> {
                try (var in = new BufferedReader(new InputStreamReader(child.getInputStream(),
                        StandardCharsets.ISO_8859_1))) {
                    for (String line; (line = in.readLine()) != null; ) {
                        synchronized (this) {
                            lines.add(line);
                            if (line.startsWith("loaded ")) {
                                loaded++;
                            }
                            notifyAll();
                        }
                    }
                } catch (IOException e) {
                    throw new UncheckedIOException(e);
                }
            }, "child-output");
            reader.setDaemon(true);
            reader.start();
        }

        synchronized int loaded() {
            return loaded;
        }

        /** Waits until the child has loaded count more classes and at least millis have passed. */
        synchronized void awaitMore(Process child, int count, long millis) throws InterruptedException {
            int target = loaded + count;
            long end = System.nanoTime() + TimeUnit.MILLISECONDS.toNanos(millis);
            long deadline = System.nanoTime() + TimeUnit.SECONDS.toNanos(90);
            while (loaded < target || System.nanoTime() < end) {
                if (!child.isAlive() || System.nanoTime() > deadline) {
                    throw new IllegalStateException("the child " + (child.isAlive() ? "stalled" : "ended") + " after "
                            + loaded + " classes:\n" + String.join("\n", lines));
                }
                wait(50);
            }
        }

        synchronized List<String> lines() {
            return new ArrayList<>(lines);
        }
    }

    /** Fills the file system of folder with a file of its own, up to its last byte. */
    private static void fill(Path folder) throws Exception {
        byte[] chunk = new byte[4096];
        try (var out = new FileOutputStream(folder.resolve("filler").toFile())) {
            while (true) {
                out.write(chunk);
            }
        } catch (IOException e) {
            if (!String.valueOf(e.getMessage()).contains("No space left on device")) {
                throw e;
            }
        }
    }

    /** Sets the soft file size limit of a running process (prlimit, util-linux). */
    private static void fileSizeLimit(long pid, String limit) throws Exception {
        if (run("prlimit", "--pid", Long.toString(pid), "--fsize=" + limit + ":") != 0) {
            throw new IllegalStateException("prlimit --fsize=" + limit + " failed");
        }
    }

    // While a child loads classes, its log's file system fills (a tmpfs) or its file size limit
    // drops to the log's size, and then it gets room again, twice. The file holds whole lines
    // only; each time writing works again one line says how many lines were lost, and the lost
    // lines are exactly those of the classes that have none; lines go on after it; the failure
    // and the recovery are reported on standard error (the console is off).
    private static void diskFull(boolean tmpfsWhenRoot, String flush) throws Exception {
        Path disk = Files.createDirectories(Paths.get("disk")).toAbsolutePath();
        boolean tmpfs = tmpfsWhenRoot && root()
                && run("mount", "-t", "tmpfs", "-o", "size=256k,mode=0777", "tmpfs", disk.toString()) == 0;
        if (tmpfs) {
            // Unmounted below; and should this JVM end on the spot (a failed check, the watchdog),
            // by a process that outlives it, so that the folder can be removed.
            new ProcessBuilder("sh", "-c", "while kill -0 \"$0\" 2>/dev/null; do sleep 1; done; umount \"$1\" "
                    + "2>/dev/null", Long.toString(ProcessHandle.current().pid()), disk.toString())
                    .redirectOutput(ProcessBuilder.Redirect.DISCARD).redirectError(ProcessBuilder.Redirect.DISCARD)
                    .start();
        }
        System.out.println("route: " + (tmpfs ? "a 256 KiB tmpfs that fills" : "a file size limit (prlimit --fsize)"));
        Path log = disk.resolve("libagent.log");
        int status;
        List<String> output;
        int cycles = 2;
        try {
            List<String> command = new ArrayList<>();
            List<String> jvmArgs = List.of(PROPERTY + "file=" + log, PROPERTY + "console=off",
                    PROPERTY + "level=info", PROPERTY + "flush=" + flush, "-XX:-UsePerfData",
                    "-XX:ErrorFile=/tmp/hs_err_qvstress_pid%p.log");
            command.addAll(Support.childJvm(jvmArgs, "qvstress.LogFaultsCase", "child", "disk-full"));
            Process child = new ProcessBuilder(command).redirectErrorStream(true).start();
            Output out = new Output(child);
            out.awaitMore(child, 200, 0);
            // The start's lines in the file first (buffered: the flusher's first round), so
            // that every line lost afterwards is a class's.
            long deadline = System.nanoTime() + TimeUnit.SECONDS.toNanos(30);
            while (!Files.readString(log, StandardCharsets.ISO_8859_1).contains("] Quorvane is initialized.\n")) {
                if (System.nanoTime() > deadline) {
                    throw new IllegalStateException("the start's lines did not reach " + log);
                }
                Thread.sleep(20);
            }
            for (int cycle = 0; cycle < cycles; cycle++) {
                if (tmpfs) {
                    fill(disk);
                } else {
                    fileSizeLimit(child.pid(), Long.toString(Files.size(log) + 123));
                }
                // Past a flusher's round or two: buffered lines meet the full disk too.
                out.awaitMore(child, 300, 2500);
                if (tmpfs) {
                    Files.delete(disk.resolve("filler"));
                } else {
                    fileSizeLimit(child.pid(), "unlimited");
                }
                out.awaitMore(child, 300, 1500);
            }
            child.getOutputStream().write("stop\n".getBytes(StandardCharsets.ISO_8859_1));
            child.getOutputStream().flush();
            if (!child.waitFor(120, TimeUnit.SECONDS)) {
                child.destroyForcibly();
                throw new IllegalStateException("the child did not stop");
            }
            status = child.exitValue();
            Thread.sleep(200);  // the reader's last lines
            output = out.lines();
            Files.write(Paths.get("output.txt"), output, StandardCharsets.ISO_8859_1);
            Files.copy(log, Paths.get("libagent.log"));  // kept with the case's folder
        } finally {
            if (tmpfs) {
                run("umount", disk.toString());
            }
        }

        String text = String.join("\n", output);
        Support.check(status == 0, "child exit status " + status + ":\n" + text);
        for (String line : Support.jniComplaints(Paths.get("output.txt"))) {
            Support.fail("child: " + line);
        }
        List<String> loaded = new ArrayList<>();
        for (String line : output) {
            if (line.startsWith("loaded ")) {
                loaded.add(line.substring("loaded ".length()));
            }
        }
        String file = Files.readString(Paths.get("libagent.log"), StandardCharsets.ISO_8859_1);
        Support.check(file.endsWith("\n"), "libagent.log ends in the middle of a line");
        List<String> lines = List.of(file.substring(0, file.length() - 1).split("\n", -1));
        Pattern timestamp = Pattern.compile("\\[\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2}\\] \\[");
        for (String line : lines) {
            Support.check(LOG_LINE.matcher(line).matches(), "not a whole log line: " + line);
            Support.check(!timestamp.matcher(line).region(1, line.length()).find(), "lines run together: " + line);
        }
        Support.check(lines.get(0).endsWith("[info] [Quorvane] Initializing Quorvane..."), "the first line: "
                + lines.get(0));
        Map<String, Integer> remapped = Support.remappedInLog(lines);
        for (Map.Entry<String, Integer> entry : remapped.entrySet()) {
            Support.check(entry.getValue() == 1, entry.getKey() + " has " + entry.getValue() + " lines");
        }
        Pattern lost = Pattern.compile("\\[warning\\] \\[Quorvane\\] Log file " + Pattern.quote(log.toString())
                + " takes lines again: (\\d+) lines? lost, logged (?:at \\S+ \\S+|between \\S+ \\S+ and \\S+ \\S+)");
        long lostLines = 0;
        int reports = 0;
        int afterLast = 0;
        for (String line : lines) {
            var m = lost.matcher(line.substring(line.indexOf("] [") + 2));
            if (m.matches()) {
                lostLines += Long.parseLong(m.group(1));
                reports++;
                afterLast = 0;
            } else {
                afterLast++;
            }
        }
        long missing = loaded.stream().filter(name -> !remapped.containsKey(name)).count();
        Support.check(reports >= cycles, reports + " lines about lost lines, expected one a cycle at least ("
                + cycles + ")");
        Support.check(missing > 0 && lostLines == missing, "the lost lines counted: " + lostLines + "; classes "
                + "loaded without a line: " + missing + " of " + loaded.size());
        Support.check(afterLast >= 100, "only " + afterLast + " lines after the last recovery");
        Support.check(remapped.keySet().stream().allMatch(loaded::contains), "a line for a class never loaded");
        String reason = tmpfs ? "No space left on device" : "File too large";
        Support.check(text.contains("[error] [Quorvane] Log file error, lines may be lost: Failed flush to file "
                + log + ": " + reason) || text.contains("[error] [Quorvane] Log file error, lines may be lost: "
                + "Failed writing to file " + log + ": " + reason), "no failure line on standard error:\n" + text);
        Support.check(text.contains("[warning] [Quorvane] Log file " + log + " takes lines again: "),
                "no recovery line on standard error:\n" + text);
        System.out.println(loaded.size() + " classes loaded, " + remapped.size() + " lines in the file, " + lostLines
                + " counted as lost in " + reports + " lines; every line whole");
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
            case "disk-full" -> diskFullChild();
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

    // Loads classes one after the other, a millisecond apart, printing each one once its load
    // has returned (its line logged, or lost), until the parent says stop.
    private static void diskFullChild() throws Exception {
        Support.check(Quorvane.addInclude("disk/"), "addInclude failed");
        Remap.setTransformer((name, bytes) -> bytes);
        Support.check(Quorvane.initNative(), "initNative failed");
        Support.ParallelLoader loader = new Support.ParallelLoader(name -> Support.classFile(name, false, 0));
        AtomicBoolean stop = new AtomicBoolean();
        Thread listener = new Thread(() -> {
            try {
                new BufferedReader(new InputStreamReader(System.in, StandardCharsets.ISO_8859_1))
                        .readLine();
            } catch (IOException e) {
                // the parent is gone: stop all the same
            }
            stop.set(true);
        }, "stop");
        listener.setDaemon(true);
        listener.start();
        for (int i = 0; !stop.get(); i++) {
            String name = String.format("disk/c%05d", i);
            Class.forName(name.replace('/', '.'), false, loader);
            System.out.print("loaded " + name + "\n");
            System.out.flush();
            Thread.sleep(1);
        }
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
