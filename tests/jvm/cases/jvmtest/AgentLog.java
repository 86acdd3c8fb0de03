package jvmtest;

import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.time.LocalDateTime;
import java.time.format.DateTimeFormatter;
import java.util.ArrayList;
import java.util.List;
import java.util.Set;
import java.util.regex.Matcher;
import java.util.regex.Pattern;

/** Reads what the library logged, to the file and to the console, and checks its format. */
final class AgentLog {
    static final Path FILE = Path.of("libagent.log");
    static final String INITIALIZING = "[Quorvane] Initializing Quorvane...";

    private static final Pattern LINE =
            Pattern.compile("\\[(\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2})\\] \\[([a-z]+)\\] (.*)");
    private static final DateTimeFormatter STAMP = DateTimeFormatter.ofPattern("yyyy-MM-dd HH:mm:ss");
    private static final Set<String> LEVELS = Set.of("trace", "debug", "info", "warning", "error");

    record Line(String level, String message) {
        @Override
        public String toString() {
            return "[" + level + "] " + message;
        }
    }

    private AgentLog() {
    }

    /** The log file, every line checked against the format (see parse). */
    static List<Line> file() throws IOException {
        return file(FILE);
    }

    /** A log file of another name, checked the same way. */
    static List<Line> file(Path file) throws IOException {
        Check.that(Files.isRegularFile(file), "%s does not exist in %s", file, Path.of("").toAbsolutePath());
        return parse(completeLines(Files.readString(file)), file.toString());
    }

    /**
     * The library's lines on standard output so far, format-checked. The case runs
     * with standard output redirected to a file, which is read back here.
     */
    static List<Line> console() throws IOException {
        return parse(agentLines(Path.of("/proc/self/fd/1")), "standard output");
    }

    /** The library's lines on standard error so far, format-checked, as for standard output. */
    static List<Line> consoleErr() throws IOException {
        System.err.flush();
        return parse(agentLines(Path.of("/proc/self/fd/2")), "standard error");
    }

    /** Standard error as text, for what the Java side reports there. */
    static String stderr() throws IOException {
        Path err = Path.of("/proc/self/fd/2");
        System.err.flush();
        Check.that(Files.isRegularFile(err), "standard error must be redirected to a file (run the case through run-case.sh)");
        return Files.readString(err);
    }

    private static List<String> agentLines(Path out) throws IOException {
        System.out.flush();
        Check.that(Files.isRegularFile(out), "standard output must be redirected to a file (run the case through run-case.sh)");
        List<String> lines = new ArrayList<>();
        for (String line : completeLines(Files.readString(out))) {
            if (line.contains("[Quorvane]")) {
                lines.add(line);
            }
        }
        return lines;
    }

    // A line another thread is writing at this moment (a class passed over, say) is
    // left for the next read.
    private static List<String> completeLines(String text) {
        int end = text.lastIndexOf('\n');
        return end < 0 ? List.of() : List.of(text.substring(0, end).split("\n", -1));
    }

    /**
     * Each line must read "[yyyy-MM-dd HH:mm:ss] [level] [Quorvane] message", with one of the
     * five level names and a local time between the case's start and now.
     */
    private static List<Line> parse(List<String> raw, String source) {
        LocalDateTime now = LocalDateTime.now();
        List<Line> lines = new ArrayList<>();
        for (String text : raw) {
            Matcher m = LINE.matcher(text);
            Check.that(m.matches(), "%s: line not in the log format: %s", source, text);
            LocalDateTime time = LocalDateTime.parse(m.group(1), STAMP);
            Check.that(!time.isBefore(Check.STARTED) && !time.isAfter(now),
                    "%s: time stamp %s is not local time between %s and %s: %s", source, time, Check.STARTED, now, text);
            Check.that(LEVELS.contains(m.group(2)), "%s: unknown level name: %s", source, text);
            Check.that(m.group(3).startsWith("[Quorvane] "), "%s: message without the tag: %s", source, text);
            lines.add(new Line(m.group(2), m.group(3)));
        }
        return lines;
    }

    /**
     * The checks every successful start passes: the file's first line is the initializing
     * line at info, and each of the given levels occurs.
     */
    static List<Line> checkedFile(String... levels) throws IOException {
        List<Line> lines = file();
        Check.that(!lines.isEmpty(), "%s is empty", FILE);
        Check.equal(new Line("info", INITIALIZING), lines.get(0), "first line of " + FILE);
        for (String level : levels) {
            Check.that(lines.stream().anyMatch(l -> l.level().equals(level)), "no [%s] line in %s: %s", level, FILE, lines);
        }
        return lines;
    }

    static long count(List<Line> lines, String level, String message) {
        return lines.stream().filter(l -> l.level().equals(level) && l.message().equals(message)).count();
    }

    static long countContaining(List<Line> lines, String text) {
        return lines.stream().filter(l -> l.message().contains(text)).count();
    }

    static void once(List<Line> lines, String level, String message) {
        Check.equal(1L, count(lines, level, message), "number of lines [" + level + "] " + message);
    }

    static void none(List<Line> lines, String text) {
        for (Line line : lines) {
            Check.that(!line.message().contains(text), "unexpected log line: %s", line);
        }
    }
}
