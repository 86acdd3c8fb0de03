package jvmtest;

import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import java.util.regex.Matcher;
import java.util.regex.Pattern;
import qv.vantrel.quorvane.Quorvane;
import qv.vantrel.quorvane.remapper.Remap;

/**
 * The log file when things go wrong and when it must stay small or cheap: files that cannot
 * be opened or written, the level off, rotation and buffered flushing. The argument names
 * the row; the settings of most rows are system properties on its command line (see
 * tests/jvm/CMakeLists.txt). Every row starts the library, loads fixture.Greeter (selected,
 * rewritten) and fixture.deep.Thing (passed over), and checks where the lines went.
 */
public final class LogFileCase {
    private static final String REMAPPED = "Remapped: fixture/Greeter ";
    private static final String SKIPPED = "[Quorvane] Skipped by filter: ";
    private static final Pattern ROTATED = Pattern.compile("libagent(?:\\.(\\d+))?\\.log");

    private LogFileCase() {
    }

    /** A file the log cannot use, where its one error line must go, and what that line must say. */
    private record Failure(String file, String stream, String... says) {
    }

    public static void main(String[] args) {
        Check.run("log-file", args, a -> {
            switch (a[0]) {
                // -D...file=no/such/folder/quorvane.log -D...console=off
                case "missing-folder-console-off" -> {
                    failure(new Failure(absolute("no/such/folder/quorvane.log"), "stderr", "Could not open log file "
                            + absolute("no/such/folder/quorvane.log") + ", nothing is logged (the console is off): "
                            + "its folder " + absolute("no/such/folder") + " does not exist"));
                    Check.that(!Files.exists(Path.of("no")), "the missing folder was created");
                }
                // -D...file=/sys/quorvane-test.log -D...console=off: a folder nobody may write
                // to, root included.
                case "forbidden-folder-console-off" -> failure(new Failure("/sys/quorvane-test.log", "stderr",
                        "Could not open log file /sys/quorvane-test.log, nothing is logged (the console is off): "
                                + "Failed opening file /sys/quorvane-test.log for writing: "));
                // -D...file=logs.d -D...console=stderr
                case "directory-console-stderr" -> {
                    Files.createDirectory(Path.of("logs.d"));
                    failure(new Failure(absolute("logs.d"), "stderr", "Could not open log file " + absolute("logs.d")
                            + ", logging to the console only: ", "Is a directory"));
                }
                // -D...file=link.log -D...console=off, link.log pointing into a missing folder
                case "dangling-symlink-console-off" -> {
                    Files.createSymbolicLink(Path.of("link.log"), Path.of("missing/target.log"));
                    failure(new Failure(absolute("link.log"), "stderr", "Could not open log file "
                            + absolute("link.log") + ", nothing is logged (the console is off): ",
                            "No such file or directory"));
                    Check.that(!Files.exists(Path.of("missing")), "the link's folder was created");
                }
                // -D...file=/dev/full -D...console=<stdout|stderr|off>: opens, every write fails.
                case "full-console-stdout" -> failure(new Failure("/dev/full", "stdout", FULL));
                case "full-console-stderr" -> failure(new Failure("/dev/full", "stderr", FULL));
                case "full-console-off" -> failure(new Failure("/dev/full", "stderr", FULL));
                case "level-off-keeps-file" -> levelOff(true); // -D...level=off
                case "level-off-creates-none" -> levelOff(false); // -D...level=off -D...file=created.log
                // -D...maxSize=4K -D...maxFiles=50
                case "rotation-by-property" -> rotation(4096, 50, false);
                case "rotation-buffered-by-method" -> {
                    Quorvane.setLogMaxSize(4096);
                    Quorvane.setLogMaxFiles(50);
                    Quorvane.setLogFlush("Buffered");
                    Quorvane.setLogConsole("off");
                    rotation(4096, 50, true);
                    refusedAfterStart("in use: file libagent.log (rotated at 4096 bytes, 50 files kept), console off, "
                            + "flush buffered");
                }
                case "rotation-keeps-max-files" -> keepsMaxFiles(); // -D...maxSize=1024 -D...maxFiles=2
                // -D...maxSize=4KB, or "4 KiB", -D...maxFiles=50: 4096 bytes either way
                case "rotation-4KB", "rotation-4-KiB" -> {
                    rotation(4096, 50, false);
                    refusedAfterStart("in use: file libagent.log (rotated at 4096 bytes, 50 files kept), console stdout");
                }
                case "size-refused-console-off" -> sizeRefused(); // -D...maxSize=1.5M -D...console=off
                case "buffered-warning-at-once" -> bufferedWarning(); // -D...flush=buffered -D...console=off
                case "bad-properties" -> badProperties(); // -D...maxSize=10X -D...maxFiles=0 -D...flush=sometimes
                case "bad-values-by-method" -> badValues();
                default -> throw new IllegalArgumentException(a[0]);
            }
        });
    }

    private static final String FULL = "Log file error, lines may be lost: Failed flush to file /dev/full: "
            + "No space left on device";
    private static final String SIZES = "a whole number of bytes, optionally followed by K, KB, KiB, M, MB, MiB, G, "
            + "GB or GiB (any case, 1024 bytes to the K); 0 for no limit";

    /** A path in the working directory as the log's messages name it: absolute. */
    private static String absolute(String relative) {
        return Path.of("").toAbsolutePath().resolve(relative).toString();
    }

    /** initNative with fixture/Greeter selected, then one selected and one passed-over class. */
    private static void start() throws Exception {
        Remap.setTransformer(Recorder.rewriting());
        Check.that(Quorvane.addInclude("fixture/Greeter"), "addInclude returned false");
        Check.that(Quorvane.initNative(), "initNative returned false");
        Check.equal(ClassFiles.REWRITTEN, Fixtures.run("fixture.Greeter"), "fixture.Greeter.get()");
        Fixtures.run("fixture.deep.Thing");
    }

    /** A loader that defines copies of fixture.deep.Thing under other names. */
    private static final class Copies extends ClassLoader {
        private final byte[] thing = Fixtures.classFile("fixture/deep/Thing");

        Copies() throws Exception {
            super(Copies.class.getClassLoader());
        }

        /** Defines the copy named internalName; the hook logs it as passed over. */
        void define(String internalName) {
            byte[] copy = ClassFiles.replaceUtf8(thing, "fixture/deep/Thing", internalName);
            defineClass(internalName.replace('/', '.'), copy, 0, copy.length);
        }
    }

    private static List<String> names(String prefix, int count) {
        List<String> names = new ArrayList<>();
        for (int i = 0; i < count; i++) {
            names.add(String.format("%s%04d", prefix, i));
        }
        return names;
    }

    // The error line once, where nothing else can lose it, in the log's pattern, right
    // after the first line when a console carries the log; the library goes on, and so
    // does the console. Every trace line of the start fails again on /dev/full, and
    // more classes make sure of it.
    private static void failure(Failure f) throws Exception {
        start();
        Copies copies = new Copies();
        names("repeat/Thing", 50).forEach(copies::define);

        List<AgentLog.Line> out = AgentLog.console();
        List<AgentLog.Line> err = AgentLog.consoleErr();
        List<AgentLog.Line> carrier = f.stream().equals("stdout") ? out : err;
        Check.equal(List.of(), f.stream().equals("stdout") ? err : out, "library lines on the other stream");
        List<AgentLog.Line> errors = carrier.stream().filter(l -> l.level().equals("error")).toList();
        Check.equal(1, errors.size(), "error lines on " + f.stream() + ": " + errors);
        String message = errors.get(0).message();
        Check.that(message.startsWith("[Quorvane] " + f.says()[0]), "the error line says: %s", message);
        for (String fragment : f.says()) {
            Check.that(message.contains(fragment), "the error line lacks \"%s\": %s", fragment, message);
        }
        Check.that(message.contains(f.file()), "the error line does not name %s: %s", f.file(), message);
        boolean consoleOff = System.getProperty("qv.vantrel.quorvane.log.console", "").equals("off");
        if (consoleOff) {
            Check.equal(List.of(errors.get(0)), carrier, "library lines on standard error with the console off");
        } else {
            Check.equal(new AgentLog.Line("info", AgentLog.INITIALIZING), carrier.get(0), "first line");
            Check.equal(errors.get(0), carrier.get(1), "the line after the first");
            Check.equal(1L, AgentLog.countContaining(carrier, REMAPPED), "lines " + REMAPPED);
            Check.equal(1L, AgentLog.countContaining(carrier, SKIPPED + "repeat/Thing0049"), "the last class's line");
        }
        Check.that(!AgentLog.stderr().contains("LOG ERROR"), "spdlog's own error report on standard error");
    }

    // With the level off nothing is written: no file created or emptied, and a level
    // raised later writes to the console alone.
    private static void levelOff(boolean existing) throws Exception {
        Path file = existing ? AgentLog.FILE : Path.of("created.log");
        if (existing) {
            Files.writeString(file, "kept as it was\n");
        }
        start();
        Quorvane.setLogLevel("info");
        Fixtures.run("fixture.Greeter");
        Check.equal(1L, AgentLog.countContaining(AgentLog.console(), REMAPPED), "console lines " + REMAPPED);
        if (existing) {
            Check.equal("kept as it was\n", Files.readString(file), file + " content");
        }
        try (var entries = Files.list(Path.of(""))) {
            List<String> expected = existing ? List.of("libagent.log", "stderr.txt", "stdout.txt")
                    : List.of("stderr.txt", "stdout.txt");
            Check.equal(expected, entries.map(p -> p.getFileName().toString()).sorted().toList(),
                    "files in the working directory");
        }
        String inUse = "in use: no file, console stdout";
        Check.equal("the log file is fixed once the log has started; " + inUse,
                Check.raises(IllegalStateException.class, () -> Quorvane.setLogFile("later.log"), "setLogFile")
                        .getMessage(), "setLogFile's message");
    }

    /** One log file as it stands: the whole text, which must end in a complete line. */
    private record Rotated(int index, Path path, String text) {
    }

    /**
     * libagent.log and its rotated files, oldest first; the indexes must run 0..n without a gap.
     * Lines stop first: reading loads classes, whose lines would rotate the files under the reader.
     */
    private static List<Rotated> rotatedFiles() throws Exception {
        Quorvane.setLogLevel("off");
        List<Integer> indexes = new ArrayList<>();
        try (var entries = Files.list(Path.of(""))) {
            for (Path p : entries.toList()) {
                Matcher m = ROTATED.matcher(p.getFileName().toString());
                if (m.matches()) {
                    indexes.add(m.group(1) == null ? 0 : Integer.parseInt(m.group(1)));
                }
            }
        }
        indexes.sort(null);
        for (int i = 0; i < indexes.size(); i++) {
            Check.equal(i, indexes.get(i), "rotated file indexes " + indexes);
        }
        List<Rotated> files = new ArrayList<>();
        for (int i = indexes.size() - 1; i >= 0; i--) {
            Path path = Path.of(i == 0 ? "libagent.log" : "libagent." + i + ".log");
            String text = Files.readString(path, StandardCharsets.UTF_8);
            Check.that(text.endsWith("\n"), "%s ends in the middle of a line", path);
            files.add(new Rotated(i, path, text));
        }
        return files;
    }

    // Every file within the limit and made of whole lines, the previous run's file kept as
    // the oldest, and across the files, oldest first, every class's line once and in order.
    private static void rotation(long maxSize, int maxFiles, boolean buffered) throws Exception {
        Files.writeString(AgentLog.FILE, "previous run\n");
        start();
        List<String> classes = names("rot/Thing", 150);
        Copies copies = new Copies();
        classes.forEach(copies::define);
        if (buffered) {
            // A warning line flushes what is buffered.
            Remap.setTransformer((name, bytes) -> null);
            Fixtures.run("fixture.Greeter");
        }

        List<Rotated> files = rotatedFiles();
        Check.that(files.size() >= 4 && files.size() <= maxFiles + 1, "%d log files", files.size());
        Check.equal("previous run\n", files.get(0).text(), "the oldest file, the previous run's");
        List<AgentLog.Line> lines = new ArrayList<>();
        for (Rotated file : files.subList(1, files.size())) {
            Check.that(file.text().length() <= maxSize, "%s holds %d bytes", file.path(), file.text().length());
            lines.addAll(AgentLog.file(file.path()));
        }
        Check.equal(new AgentLog.Line("info", AgentLog.INITIALIZING), lines.get(0), "first line");
        inOrder(lines, classes);
        if (buffered) {
            Check.equal("warning", lines.get(lines.size() - 1).level(), "the last line's level");
        }
    }

    /** Each class's passed-over line occurs once, in the order the classes loaded. */
    private static void inOrder(List<AgentLog.Line> lines, List<String> classes) {
        int at = -1;
        for (String name : classes) {
            String line = SKIPPED + name;
            Check.equal(1L, AgentLog.count(lines, "trace", line), "lines " + line);
            int next = lines.indexOf(new AgentLog.Line("trace", line));
            Check.that(next > at, "%s comes before the class loaded ahead of it", line);
            at = next;
        }
    }

    // With two files kept, three files in all, within the limit, holding the newest lines:
    // the classes loaded last, in order up to the very last one.
    private static void keepsMaxFiles() throws Exception {
        Files.writeString(AgentLog.FILE, "previous run\n");
        start();
        List<String> classes = names("keep/Thing", 100);
        Copies copies = new Copies();
        classes.forEach(copies::define);

        List<Rotated> files = rotatedFiles();
        Check.equal(3, files.size(), "log files");
        List<AgentLog.Line> lines = new ArrayList<>();
        for (Rotated file : files) {
            Check.that(file.text().length() <= 1024, "%s holds %d bytes", file.path(), file.text().length());
            lines.addAll(AgentLog.file(file.path()));
        }
        List<AgentLog.Line> skipped = lines.stream().filter(l -> l.message().startsWith(SKIPPED + "keep/")).toList();
        Check.that(skipped.size() >= 10, "only %d class lines in the files kept", skipped.size());
        inOrder(lines, classes.subList(classes.size() - skipped.size(), classes.size()));
    }

    // Lines wait in the buffer until a warning, which brings them and itself to the file at
    // once; without one, the flusher brings them within about a second.
    private static void bufferedWarning() throws Exception {
        start();
        Copies copies = new Copies();
        // The flusher may run between a line and the look at the file: then try again.
        String waiting = null;
        for (int attempt = 0; attempt < 5 && waiting == null; attempt++) {
            String name = "buffered/Thing" + attempt;
            copies.define(name);
            if (AgentLog.countContaining(readable(), SKIPPED + name) == 0) {
                waiting = name;
            }
        }
        Check.that(waiting != null, "every line was in the file at once, five times over: not buffered");

        Remap.setTransformer((name, bytes) -> null);
        Fixtures.run("fixture.Greeter");
        List<AgentLog.Line> lines = readable();
        AgentLog.once(lines, "warning", "[Quorvane] Remap returned null/exception for: fixture/Greeter");
        AgentLog.once(lines, "trace", SKIPPED + waiting);
        Check.equal(new AgentLog.Line("info", AgentLog.INITIALIZING), lines.get(0), "first line");

        copies.define("buffered/Later");
        long deadline = System.nanoTime() + 30_000_000_000L;
        while (AgentLog.countContaining(readable(), SKIPPED + "buffered/Later") == 0) {
            Check.that(System.nanoTime() < deadline, "a buffered line was not in the file after 30 s");
            Thread.sleep(50);
        }
    }

    /** The log file's lines so far (none while it is still empty). */
    private static List<AgentLog.Line> readable() throws Exception {
        return Files.size(AgentLog.FILE) == 0 ? List.of() : AgentLog.file();
    }

    // Each bad property keeps its default (one file, flushed line by line) and leaves one
    // error line after the first.
    private static void badProperties() throws Exception {
        start();
        List<AgentLog.Line> expected = List.of(
                new AgentLog.Line("info", AgentLog.INITIALIZING),
                new AgentLog.Line("error", "[Quorvane] Ignored -Dqv.vantrel.quorvane.log.maxSize=10X, the default stays; "
                        + "accepted: " + SIZES),
                new AgentLog.Line("error", "[Quorvane] Ignored -Dqv.vantrel.quorvane.log.maxFiles=0, the default stays; "
                        + "accepted: a whole number from 1 to 1000"),
                new AgentLog.Line("error", "[Quorvane] Ignored -Dqv.vantrel.quorvane.log.flush=sometimes, the default "
                        + "stays; accepted: line, buffered"));
        Check.equal(expected, AgentLog.file().subList(0, 4), "first file lines");
        Check.equal(expected, AgentLog.console().subList(0, 4), "first console lines");
        refusedAfterStart("in use: file libagent.log, console stdout");
    }

    // A fraction is refused: no limit, and the error line, after the first in the file, is
    // also on standard error, the console being off.
    private static void sizeRefused() throws Exception {
        start();
        AgentLog.Line refused = new AgentLog.Line("error",
                "[Quorvane] Ignored -Dqv.vantrel.quorvane.log.maxSize=1.5M, the default stays; accepted: " + SIZES);
        Check.equal(List.of(new AgentLog.Line("info", AgentLog.INITIALIZING), refused), AgentLog.file().subList(0, 2),
                "first file lines");
        Check.equal(List.of(refused), AgentLog.consoleErr(), "library lines on standard error");
        Check.equal(List.of(), AgentLog.console(), "library lines on standard output");
        refusedAfterStart("in use: file libagent.log, console off");
    }

    private static void badValues() throws Exception {
        expect(IllegalArgumentException.class, "log file size limit is negative: -1", () -> Quorvane.setLogMaxSize(-1));
        String files = "; accepted: a whole number from 1 to 1000";
        expect(IllegalArgumentException.class, "rotated log files to keep: 0" + files, () -> Quorvane.setLogMaxFiles(0));
        expect(IllegalArgumentException.class, "rotated log files to keep: 1001" + files,
                () -> Quorvane.setLogMaxFiles(1001));
        expect(IllegalArgumentException.class, "unknown log flush \"sometimes\"; accepted: line, buffered",
                () -> Quorvane.setLogFlush("sometimes"));
        expect(NullPointerException.class, "log flush is null", () -> Quorvane.setLogFlush(null));
        // None of them changed anything; a limit of 0 is no limit.
        Quorvane.setLogMaxSize(0);
        start();
        Check.that(!Files.exists(Path.of("libagent.1.log")), "the file was rotated");
        refusedAfterStart("in use: file libagent.log, console stdout");
        // Still the same after the refusals, and a bad value is still a bad value.
        expect(IllegalArgumentException.class, null, () -> Quorvane.setLogFlush("sometimes"));
        refusedAfterStart("in use: file libagent.log, console stdout");
    }

    private static void refusedAfterStart(String inUse) throws Exception {
        expect(IllegalStateException.class, "the log file size limit is fixed once the log has started; " + inUse,
                () -> Quorvane.setLogMaxSize(1));
        expect(IllegalStateException.class, "the rotated log files to keep are fixed once the log has started; "
                + inUse, () -> Quorvane.setLogMaxFiles(3));
        expect(IllegalStateException.class, "the log flush is fixed once the log has started; " + inUse,
                () -> Quorvane.setLogFlush("line"));
    }

    private static void expect(Class<? extends Throwable> type, String message, Check.Call call) {
        Throwable thrown = Check.raises(type, call, type.getSimpleName());
        if (message != null) {
            Check.equal(message, thrown.getMessage(), type.getSimpleName() + " message");
        }
    }
}
