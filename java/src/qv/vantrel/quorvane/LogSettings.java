package qv.vantrel.quorvane;

import java.nio.charset.StandardCharsets;
import java.util.Locale;
import java.util.Map;
import java.util.function.BiPredicate;
import java.util.regex.Matcher;
import java.util.regex.Pattern;

/**
 * The log settings: parsed here, from the system properties once and from
 * {@link Quorvane}'s setters, and handed to the library only when something was
 * set, so that with nothing set the log starts exactly as it always has.
 */
final class LogSettings {
    static final String LEVEL_PROPERTY = "qv.vantrel.quorvane.log.level";
    static final String FILE_PROPERTY = "qv.vantrel.quorvane.log.file";
    static final String CONSOLE_PROPERTY = "qv.vantrel.quorvane.log.console";
    static final String MAX_SIZE_PROPERTY = "qv.vantrel.quorvane.log.maxSize";
    static final String MAX_FILES_PROPERTY = "qv.vantrel.quorvane.log.maxFiles";
    static final String FLUSH_PROPERTY = "qv.vantrel.quorvane.log.flush";

    // The codes handed to the library, which reads them from this class's generated
    // header: "leave it as it is", the levels (the native logger's own numbers), where
    // the console goes, when file lines are written, and the most rotated files kept.
    static final int UNSET = -1;
    static final int LEVEL_TRACE = 0;
    static final int LEVEL_DEBUG = 1;
    static final int LEVEL_INFO = 2;
    static final int LEVEL_WARNING = 3;
    static final int LEVEL_ERROR = 4;
    static final int LEVEL_OFF = 6;
    static final int CONSOLE_STDOUT = 0;
    static final int CONSOLE_STDERR = 1;
    static final int CONSOLE_OFF = 2;
    static final int FLUSH_LINE = 0;
    static final int FLUSH_BUFFERED = 1;
    static final int MAX_FILES = 1000;

    // "warn" is another name for warning.
    private static final Map<String, Integer> LEVELS = Map.of("trace", LEVEL_TRACE, "debug", LEVEL_DEBUG,
            "info", LEVEL_INFO, "warning", LEVEL_WARNING, "warn", LEVEL_WARNING, "error", LEVEL_ERROR, "off", LEVEL_OFF);
    private static final String LEVEL_NAMES = "trace, debug, info, warning (or warn), error, off";
    private static final Map<String, Integer> CONSOLES = Map.of("stdout", CONSOLE_STDOUT, "stderr", CONSOLE_STDERR,
            "off", CONSOLE_OFF);
    private static final String CONSOLE_NAMES = "stdout, stderr, off";
    private static final Map<String, Integer> FLUSHES = Map.of("line", FLUSH_LINE, "buffered", FLUSH_BUFFERED);
    private static final String FLUSH_NAMES = "line, buffered";
    private static final String FILE_VALUES = "a path without NUL characters, or empty for no file";
    private static final String MAX_FILES_VALUES = "a whole number from 1 to " + MAX_FILES;

    // A number, then optionally (after at most one space) K, M or G, alone or with B or iB after it.
    private static final Pattern SIZE = Pattern.compile("([0-9]+)(?: ?([KMG])(?:I?B)?)?", Pattern.CASE_INSENSITIVE);
    private static final String MAX_SIZE_VALUES = "a whole number of bytes, optionally followed by K, KB, KiB, M, MB, "
            + "MiB, G, GB or GiB (any case, 1024 bytes to the K); 0 for no limit";

    /** What one call hands the library: each field UNSET (or null) to leave that setting as it is. */
    private static final class Request {
        int level = UNSET;
        String file;
        int console = UNSET;
        long maxSize = UNSET;
        int maxFiles = UNSET;
        int flush = UNSET;
        String problem;

        /** Null when applied, or what the log writes to when it had already started. */
        String send() {
            byte[] inUse = configure(level, utf8(file), console, maxSize, maxFiles, flush, utf8(problem));
            return inUse == null ? null : new String(inUse, StandardCharsets.UTF_8);
        }
    }

    /**
     * The properties: each one's name, the values it accepts, and how a value is put into a
     * request (false when it is not one of them).
     */
    private enum Property {
        LEVEL(LEVEL_PROPERTY, LEVEL_NAMES, (request, text) -> (request.level = code(LEVELS, text)) != UNSET),
        FILE(FILE_PROPERTY, FILE_VALUES, (request, text) -> {
            request.file = text;
            return text.indexOf('\0') < 0;
        }),
        CONSOLE(CONSOLE_PROPERTY, CONSOLE_NAMES, (request, text) -> (request.console = code(CONSOLES, text)) != UNSET),
        MAX_SIZE(MAX_SIZE_PROPERTY, MAX_SIZE_VALUES, (request, text) -> (request.maxSize = parseSize(text)) >= 0),
        MAX_FILES(MAX_FILES_PROPERTY, MAX_FILES_VALUES, (request, text) -> (request.maxFiles = parseFiles(text)) > 0),
        FLUSH(FLUSH_PROPERTY, FLUSH_NAMES, (request, text) -> (request.flush = code(FLUSHES, text)) != UNSET);

        final String name;
        final String accepted;
        final BiPredicate<Request, String> put;

        Property(String name, String accepted, BiPredicate<Request, String> put) {
            this.name = name;
            this.accepted = accepted;
            this.put = put;
        }
    }

    private LogSettings() {
    }

    /**
     * Reads the properties. A bad value keeps the default and becomes one error line at
     * the start of the log; it never throws.
     */
    static void applyProperties() {
        for (Property property : Property.values()) {
            String value = System.getProperty(property.name);
            if (value == null) {
                continue;
            }
            Request request = new Request();
            if (!property.put.test(request, value)) {
                request = new Request();
                request.problem = "Ignored -D" + property.name + "=" + value + ", the default stays; accepted: "
                        + property.accepted;
            }
            request.send();
        }
    }

    /** The code of a name, in any case; UNSET for none. */
    private static int code(Map<String, Integer> codes, String name) {
        return codes.getOrDefault(name.toLowerCase(Locale.ROOT), UNSET);
    }

    /**
     * Bytes, with an optional unit (K, KB or KiB times 1024; M, MB or MiB twice; G, GB or GiB three
     * times); -1 when malformed or too large.
     */
    private static long parseSize(String text) {
        Matcher m = SIZE.matcher(text);
        if (!m.matches()) {
            return -1;
        }
        String unit = m.group(2) == null ? "" : m.group(2);
        int shift = switch (unit.toUpperCase(Locale.ROOT)) {
            case "K" -> 10;
            case "M" -> 20;
            case "G" -> 30;
            default -> 0;
        };
        try {
            long number = Long.parseLong(m.group(1));
            return number > (Long.MAX_VALUE >> shift) ? -1 : number << shift;
        } catch (NumberFormatException tooLong) {
            return -1;
        }
    }

    /** A count of rotated files from 1 to MAX_FILES, or -1. */
    private static int parseFiles(String text) {
        try {
            int files = Integer.parseInt(text);
            return files >= 1 && files <= MAX_FILES ? files : -1;
        } catch (NumberFormatException malformed) {
            return -1;
        }
    }

    static void setLevel(String level) {
        Request request = new Request();
        request.level = code(LEVELS, requireValue(level, "level"));
        if (request.level == UNSET) {
            throw new IllegalArgumentException("unknown log level \"" + level + "\"; accepted: " + LEVEL_NAMES);
        }
        request.send();
    }

    static void setFile(String path) {
        Request request = new Request();
        request.file = path == null ? "" : path;
        if (request.file.indexOf('\0') >= 0) {
            throw new IllegalArgumentException("log file path contains a NUL character");
        }
        sendBeforeStart(request, "the log file is");
    }

    static void setConsole(String console) {
        Request request = new Request();
        request.console = code(CONSOLES, requireValue(console, "console"));
        if (request.console == UNSET) {
            throw new IllegalArgumentException("unknown log console \"" + console + "\"; accepted: " + CONSOLE_NAMES);
        }
        sendBeforeStart(request, "the log console is");
    }

    static void setMaxSize(long bytes) {
        if (bytes < 0) {
            throw new IllegalArgumentException("log file size limit is negative: " + bytes);
        }
        Request request = new Request();
        request.maxSize = bytes;
        sendBeforeStart(request, "the log file size limit is");
    }

    static void setMaxFiles(int files) {
        if (files < 1 || files > MAX_FILES) {
            throw new IllegalArgumentException("rotated log files to keep: " + files + "; accepted: " + MAX_FILES_VALUES);
        }
        Request request = new Request();
        request.maxFiles = files;
        sendBeforeStart(request, "the rotated log files to keep are");
    }

    static void setFlush(String flush) {
        Request request = new Request();
        request.flush = code(FLUSHES, requireValue(flush, "flush"));
        if (request.flush == UNSET) {
            throw new IllegalArgumentException("unknown log flush \"" + flush + "\"; accepted: " + FLUSH_NAMES);
        }
        sendBeforeStart(request, "the log flush is");
    }

    /** Sends a setting that only counts before the log starts; what it is names it in the refusal. */
    private static void sendBeforeStart(Request request, String what) {
        String inUse = request.send();
        if (inUse != null) {
            throw new IllegalStateException(what + " fixed once the log has started; in use: " + inUse);
        }
    }

    private static String requireValue(String value, String what) {
        if (value == null) {
            throw new NullPointerException("log " + what + " is null");
        }
        return value;
    }

    /** An error line for the start of the log, about something the settings do not cover. */
    static void reportAtStart(String line) {
        Request request = new Request();
        request.problem = line;
        request.send();
    }

    /**
     * Hands settings to the library (src/log/LogNatives.cpp, which reads this class's
     * codes from its javac -h header): null when applied, else the UTF-8 bytes of what
     * the log writes to.
     */
    private static native byte[] configure(int level, byte[] file, int console, long maxSize, int maxFiles,
            int flush, byte[] problem);

    private static byte[] utf8(String text) {
        return text == null ? null : text.getBytes(StandardCharsets.UTF_8);
    }
}
