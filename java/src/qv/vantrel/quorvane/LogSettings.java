package qv.vantrel.quorvane;

import java.nio.charset.StandardCharsets;
import java.util.Locale;
import java.util.Map;
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

    /** "Leave it as it is" for any number handed over (keep in sync with src/entry/logSettings.cpp). */
    private static final int UNSET = -1;

    // Level codes are the native logger's numbers for them; "warn" is another name for warning.
    private static final Map<String, Integer> LEVELS = Map.of(
            "trace", 0, "debug", 1, "info", 2, "warning", 3, "warn", 3, "error", 4, "off", 6);
    private static final String LEVEL_NAMES = "trace, debug, info, warning (or warn), error, off";

    // Console codes are positions in the library's Logger::Console.
    private static final Map<String, Integer> CONSOLES = Map.of("stdout", 0, "stderr", 1, "off", 2);
    private static final String CONSOLE_NAMES = "stdout, stderr, off";

    // Flush codes are positions in the library's Logger::Flush.
    private static final Map<String, Integer> FLUSHES = Map.of("line", 0, "buffered", 1);
    private static final String FLUSH_NAMES = "line, buffered";

    /** The most rotated files a log may keep (keep in sync with src/entry/logSettings.cpp). */
    private static final int MAX_FILES = 1000;
    private static final String MAX_FILES_VALUES = "a whole number from 1 to " + MAX_FILES;

    // A number, then optionally (after at most one space) K, M or G, alone or with B or iB after it.
    private static final Pattern SIZE = Pattern.compile("([0-9]+)(?: ?([KMG])(?:I?B)?)?", Pattern.CASE_INSENSITIVE);
    private static final String MAX_SIZE_VALUES = "a whole number of bytes, optionally followed by K, KB, KiB, M, MB, "
            + "MiB, G, GB or GiB (any case, 1024 bytes to the K); 0 for no limit";

    private LogSettings() {
    }

    /**
     * Reads the properties. A bad value keeps the default and becomes one error line at
     * the start of the log; it never throws.
     */
    static void applyProperties() {
        String level = System.getProperty(LEVEL_PROPERTY);
        if (level != null) {
            Integer code = LEVELS.get(level.toLowerCase(Locale.ROOT));
            if (code != null) {
                configure(code, null, UNSET, null);
            } else {
                reportBadProperty(LEVEL_PROPERTY, level, LEVEL_NAMES);
            }
        }
        String file = System.getProperty(FILE_PROPERTY);
        if (file != null) {
            if (file.indexOf('\0') < 0) {
                configure(UNSET, file, UNSET, null);
            } else {
                reportBadProperty(FILE_PROPERTY, file, "a path without NUL characters, or empty for no file");
            }
        }
        String console = System.getProperty(CONSOLE_PROPERTY);
        if (console != null) {
            Integer code = CONSOLES.get(console.toLowerCase(Locale.ROOT));
            if (code != null) {
                configure(UNSET, null, code, null);
            } else {
                reportBadProperty(CONSOLE_PROPERTY, console, CONSOLE_NAMES);
            }
        }
        String maxSize = System.getProperty(MAX_SIZE_PROPERTY);
        if (maxSize != null) {
            long bytes = parseSize(maxSize);
            if (bytes >= 0) {
                configureFile(bytes, UNSET, UNSET);
            } else {
                reportBadProperty(MAX_SIZE_PROPERTY, maxSize, MAX_SIZE_VALUES);
            }
        }
        String maxFiles = System.getProperty(MAX_FILES_PROPERTY);
        if (maxFiles != null) {
            int files = parseFiles(maxFiles);
            if (files > 0) {
                configureFile(UNSET, files, UNSET);
            } else {
                reportBadProperty(MAX_FILES_PROPERTY, maxFiles, MAX_FILES_VALUES);
            }
        }
        String flush = System.getProperty(FLUSH_PROPERTY);
        if (flush != null) {
            Integer code = FLUSHES.get(flush.toLowerCase(Locale.ROOT));
            if (code != null) {
                configureFile(UNSET, UNSET, code);
            } else {
                reportBadProperty(FLUSH_PROPERTY, flush, FLUSH_NAMES);
            }
        }
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
        Integer code = LEVELS.get(requireValue(level, "level").toLowerCase(Locale.ROOT));
        if (code == null) {
            throw new IllegalArgumentException("unknown log level \"" + level + "\"; accepted: " + LEVEL_NAMES);
        }
        configure(code, null, UNSET, null);
    }

    static void setFile(String path) {
        String file = path == null ? "" : path;
        if (file.indexOf('\0') >= 0) {
            throw new IllegalArgumentException("log file path contains a NUL character");
        }
        String inUse = configure(UNSET, file, UNSET, null);
        if (inUse != null) {
            throw new IllegalStateException("the log file is fixed once the log has started; in use: " + inUse);
        }
    }

    static void setConsole(String console) {
        Integer code = CONSOLES.get(requireValue(console, "console").toLowerCase(Locale.ROOT));
        if (code == null) {
            throw new IllegalArgumentException("unknown log console \"" + console + "\"; accepted: " + CONSOLE_NAMES);
        }
        String inUse = configure(UNSET, null, code, null);
        if (inUse != null) {
            throw new IllegalStateException("the log console is fixed once the log has started; in use: " + inUse);
        }
    }

    static void setMaxSize(long bytes) {
        if (bytes < 0) {
            throw new IllegalArgumentException("log file size limit is negative: " + bytes);
        }
        String inUse = configureFile(bytes, UNSET, UNSET);
        if (inUse != null) {
            throw new IllegalStateException("the log file size limit is fixed once the log has started; in use: " + inUse);
        }
    }

    static void setMaxFiles(int files) {
        if (files < 1 || files > MAX_FILES) {
            throw new IllegalArgumentException("rotated log files to keep: " + files + "; accepted: " + MAX_FILES_VALUES);
        }
        String inUse = configureFile(UNSET, files, UNSET);
        if (inUse != null) {
            throw new IllegalStateException("the rotated log files to keep are fixed once the log has started; in use: "
                    + inUse);
        }
    }

    static void setFlush(String flush) {
        Integer code = FLUSHES.get(requireValue(flush, "flush").toLowerCase(Locale.ROOT));
        if (code == null) {
            throw new IllegalArgumentException("unknown log flush \"" + flush + "\"; accepted: " + FLUSH_NAMES);
        }
        String inUse = configureFile(UNSET, UNSET, code);
        if (inUse != null) {
            throw new IllegalStateException("the log flush is fixed once the log has started; in use: " + inUse);
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
        configure(UNSET, null, UNSET, line);
    }

    private static void reportBadProperty(String property, String value, String accepted) {
        configure(UNSET, null, UNSET, "Ignored -D" + property + "=" + value + ", the default stays; accepted: " + accepted);
    }

    /** Returns null when applied, or what the log writes to when it had already started. */
    private static String configure(int level, String file, int console, String problem) {
        byte[] inUse = Quorvane.configureLog(level, utf8(file), console, utf8(problem));
        return inUse == null ? null : new String(inUse, StandardCharsets.UTF_8);
    }

    /** As configure, for the file's rotation and flushing. */
    private static String configureFile(long maxSize, int maxFiles, int flush) {
        byte[] inUse = Quorvane.configureLogFile(maxSize, maxFiles, flush);
        return inUse == null ? null : new String(inUse, StandardCharsets.UTF_8);
    }

    private static byte[] utf8(String text) {
        return text == null ? null : text.getBytes(StandardCharsets.UTF_8);
    }
}
