package jvmtest;

import java.nio.file.Files;
import java.nio.file.Path;
import java.util.List;
import java.util.concurrent.atomic.AtomicBoolean;
import qv.vantrel.quorvane.Quorvane;
import qv.vantrel.quorvane.remapper.Remap;

/**
 * The log settings, by system property (set on the command line of each row) and by
 * method. The argument names the row; each row sets something, calls initNative, loads
 * fixture.Greeter (selected: one info line) and fixture.deep.Thing (passed over: one trace
 * line), and checks where the lines went and which were written.
 */
public final class LogSettingsCase {
    private static final String REMAPPED = "Remapped: fixture/Greeter ";
    private static final String SKIPPED = "[Quorvane] Skipped by filter: fixture/deep/Thing";

    private LogSettingsCase() {
    }

    public static void main(String[] args) {
        Check.run("log-settings", args, a -> {
            switch (a[0]) {
                case "level-by-property": // -Dqv.vantrel.quorvane.log.level=Info
                    start();
                    levels(AgentLog.file(), "info");
                    levels(AgentLog.console(), "info");
                    break;
                case "level-by-method":
                    Quorvane.setLogLevel("WARN");
                    start();
                    Check.equal(List.of(), AgentLog.console(), "console lines at level warning");
                    Check.equal(List.of(), AgentLog.file(), "file lines at level warning");
                    break;
                case "level-method-over-property": // -D...level=error
                    Quorvane.setLogLevel("debug");
                    start();
                    levels(AgentLog.file(), "debug");
                    break;
                case "file-by-property": // -D...file=logs/quorvane.log
                    Files.createDirectory(Path.of("logs"));
                    start();
                    Check.that(!Files.exists(AgentLog.FILE), "%s was created", AgentLog.FILE);
                    levels(AgentLog.file(Path.of("logs/quorvane.log")), "trace");
                    break;
                case "file-method-over-property": // -D...file=property.log
                    Quorvane.setLogFile("method.log");
                    start();
                    Check.that(!Files.exists(Path.of("property.log")), "property.log was created");
                    Check.that(!Files.exists(AgentLog.FILE), "%s was created", AgentLog.FILE);
                    levels(AgentLog.file(Path.of("method.log")), "trace");
                    break;
                case "file-off-by-property": // -D...file=
                case "file-off-by-method":
                    Files.writeString(AgentLog.FILE, "kept as it was\n");
                    if (a[0].endsWith("method")) {
                        Quorvane.setLogFile(null);
                    }
                    start();
                    Check.equal("kept as it was\n", Files.readString(AgentLog.FILE), AgentLog.FILE + " content");
                    try (var entries = Files.list(Path.of(""))) {
                        Check.equal(List.of("libagent.log", "stderr.txt", "stdout.txt"),
                                entries.map(p -> p.getFileName().toString()).sorted().toList(), "files in the working directory");
                    }
                    levels(AgentLog.console(), "trace");
                    break;
                case "file-in-missing-folder": {
                    Quorvane.setLogFile("no/such/folder/quorvane.log");
                    start();
                    Check.that(!Files.exists(Path.of("no")), "the missing folder was created");
                    List<AgentLog.Line> console = AgentLog.console();
                    // As for any file that cannot be opened, the line comes right after the first.
                    String work = Path.of("").toAbsolutePath().toString();
                    Check.equal(new AgentLog.Line("error", "[Quorvane] Could not open log file " + work
                            + "/no/such/folder/quorvane.log, logging to the console only: its folder " + work
                            + "/no/such/folder does not exist"), console.get(1), "second console line");
                    levels(console, "trace");
                    break;
                }
                case "console-stderr-by-property": // -D...console=STDERR
                    start();
                    Check.equal(List.of(), AgentLog.console(), "library lines on standard output");
                    levels(AgentLog.consoleErr(), "trace");
                    levels(AgentLog.file(), "trace");
                    break;
                case "console-off-by-method":
                    Quorvane.setLogConsole("off");
                    start();
                    Check.equal(List.of(), AgentLog.console(), "library lines on standard output");
                    Check.equal(List.of(), AgentLog.consoleErr(), "library lines on standard error");
                    levels(AgentLog.file(), "trace");
                    break;
                case "bad-properties": // -D...level=loud -D...console=tty -D...file=logs/x.log (no folder)
                    badProperties();
                    break;
                case "bad-values-by-method":
                    badValues();
                    break;
                case "file-and-console-after-start":
                    afterStart();
                    break;
                case "level-after-start":
                    levelAfterStart();
                    break;
                default:
                    throw new IllegalArgumentException(a[0]);
            }
        });
    }

    /** initNative with fixture/Greeter selected, then one selected and one passed-over class. */
    private static void start() throws Exception {
        Remap.setTransformer(Recorder.rewriting());
        Check.that(Quorvane.addInclude("fixture/Greeter"), "addInclude returned false");
        Check.that(Quorvane.initNative(), "initNative returned false");
        Check.equal(ClassFiles.REWRITTEN, Fixtures.run("fixture.Greeter"), "fixture.Greeter.get()");
        Fixtures.run("fixture.deep.Thing");
    }

    /** The lines of a run at the given level: everything from it up, nothing below it. */
    private static void levels(List<AgentLog.Line> lines, String level) {
        List<String> order = List.of("trace", "debug", "info", "warning", "error");
        int lowest = order.indexOf(level);
        for (AgentLog.Line line : lines) {
            Check.that(order.indexOf(line.level()) >= lowest, "line below level %s: %s", level, line);
        }
        Check.equal(new AgentLog.Line("info", AgentLog.INITIALIZING), lines.isEmpty() ? null : lines.get(0), "first line");
        Check.equal(1L, AgentLog.countContaining(lines, REMAPPED), "lines " + REMAPPED);
        Check.equal(lowest == 0 ? 1L : 0L, AgentLog.count(lines, "trace", SKIPPED), "lines " + SKIPPED);
        Check.equal(lowest <= 1 ? 1L : 0L, AgentLog.count(lines, "debug", "[Quorvane] Cached static declarations: "
                + "qv/vantrel/quorvane/remapper/Remap.remap"), "debug line of the start");
    }

    // Each bad property keeps its default and leaves one error line right after the first.
    private static void badProperties() throws Exception {
        start();
        List<AgentLog.Line> console = AgentLog.console();
        List<AgentLog.Line> expected = List.of(
                new AgentLog.Line("info", AgentLog.INITIALIZING),
                new AgentLog.Line("error", "[Quorvane] Ignored -Dqv.vantrel.quorvane.log.level=loud, the default stays; "
                        + "accepted: trace, debug, info, warning (or warn), error, off"),
                new AgentLog.Line("error", "[Quorvane] Ignored -Dqv.vantrel.quorvane.log.console=tty, the default stays; "
                        + "accepted: stdout, stderr, off"));
        Check.equal(expected, console.subList(0, 3), "first console lines");
        Check.equal(expected, AgentLog.file().subList(0, 3), "first file lines");
        levels(AgentLog.file(), "trace");
    }

    private static void badValues() throws Exception {
        String levels = "accepted: trace, debug, info, warning (or warn), error, off";
        String consoles = "accepted: stdout, stderr, off";
        expectThrows(IllegalArgumentException.class, "unknown log level \"loud\"; " + levels, () -> Quorvane.setLogLevel("loud"));
        expectThrows(IllegalArgumentException.class, "unknown log level \"\"; " + levels, () -> Quorvane.setLogLevel(""));
        expectThrows(IllegalArgumentException.class, "unknown log console \"tty\"; " + consoles, () -> Quorvane.setLogConsole("tty"));
        expectThrows(NullPointerException.class, "log level is null", () -> Quorvane.setLogLevel(null));
        expectThrows(NullPointerException.class, "log console is null", () -> Quorvane.setLogConsole(null));
        expectThrows(IllegalArgumentException.class, "log file path contains a NUL character",
                () -> Quorvane.setLogFile("a\0b.log"));
        // None of them changed anything.
        start();
        levels(AgentLog.file(), "trace");
        levels(AgentLog.console(), "trace");
    }

    private static void afterStart() throws Exception {
        start();
        String inUse = "in use: file libagent.log, console stdout";
        expectThrows(IllegalStateException.class, "the log file is fixed once the log has started; " + inUse,
                () -> Quorvane.setLogFile("later.log"));
        expectThrows(IllegalStateException.class, "the log file is fixed once the log has started; " + inUse,
                () -> Quorvane.setLogFile(null));
        expectThrows(IllegalStateException.class, "the log console is fixed once the log has started; " + inUse,
                () -> Quorvane.setLogConsole("off"));
        // A bad value is still a bad value after the start.
        expectThrows(IllegalArgumentException.class, null, () -> Quorvane.setLogConsole("tty"));
        Check.that(!Files.exists(Path.of("later.log")), "later.log was created");
        // The log goes on where it was.
        Fixtures.run("fixture.Greeter");
        Check.equal(2L, AgentLog.countContaining(AgentLog.file(), REMAPPED), "file lines " + REMAPPED);
        Check.equal(2L, AgentLog.countContaining(AgentLog.console(), REMAPPED), "console lines " + REMAPPED);
    }

    // The level changes while another thread keeps loading classes; lines follow it from
    // the next line on.
    private static void levelAfterStart() throws Exception {
        start();
        AtomicBoolean stop = new AtomicBoolean();
        Thread background = new Thread(() -> {
            try {
                while (!stop.get()) {
                    Fixtures.run("fixture.GreeterFactory");
                }
            } catch (Exception e) {
                throw new IllegalStateException(e);
            }
        });
        background.start();
        try {
            for (int round = 0; round < 3; round++) {
                Quorvane.setLogLevel("info");
                int skippedBefore = (int) AgentLog.count(AgentLog.file(), "trace", SKIPPED);
                Fixtures.run("fixture.deep.Thing");
                Fixtures.run("fixture.Greeter");
                List<AgentLog.Line> atInfo = AgentLog.file();
                Check.equal(skippedBefore, (int) AgentLog.count(atInfo, "trace", SKIPPED), "round " + round + ": trace lines at info");
                Check.equal(round + 2L, AgentLog.countContaining(atInfo, REMAPPED), "round " + round + ": " + REMAPPED);

                Quorvane.setLogLevel("trace");
                Fixtures.run("fixture.deep.Thing");
                Check.equal(skippedBefore + 1L, AgentLog.count(AgentLog.file(), "trace", SKIPPED),
                        "round " + round + ": trace lines back at trace");
            }
        } finally {
            stop.set(true);
            background.join();
        }
        Quorvane.setLogLevel("off");
        long lines = AgentLog.file().size();
        Fixtures.run("fixture.Greeter");
        Fixtures.run("fixture.deep.Thing");
        Check.equal(lines, (long) AgentLog.file().size(), "lines written at level off");
    }

    interface Action {
        void run() throws Exception;
    }

    private static void expectThrows(Class<? extends Throwable> type, String message, Action action) throws Exception {
        try {
            action.run();
        } catch (Throwable thrown) {
            Check.that(type.isInstance(thrown), "expected %s but got %s", type.getSimpleName(), thrown);
            if (message != null) {
                Check.equal(message, thrown.getMessage(), type.getSimpleName() + " message");
            }
            return;
        }
        throw new AssertionError("expected " + type.getSimpleName() + ", nothing was thrown");
    }
}
