package qv.vantrel.quorvane;

import java.nio.charset.StandardCharsets;
import java.util.Locale;
import java.util.Map;

/**
 * The log settings: parsed here, from the system properties once and from
 * {@link Quorvane}'s setters, and handed to the library only when something was
 * set, so that with nothing set the log starts exactly as it always has.
 */
final class LogSettings {
    static final String LEVEL_PROPERTY = "qv.vantrel.quorvane.log.level";
    static final String FILE_PROPERTY = "qv.vantrel.quorvane.log.file";
    static final String CONSOLE_PROPERTY = "qv.vantrel.quorvane.log.console";

    /** "Leave it as it is" for a level or console code (keep in sync with src/entry/logSettings.cpp). */
    private static final int UNSET = -1;

    // Level codes are the native logger's numbers for them; "warn" is another name for warning.
    private static final Map<String, Integer> LEVELS = Map.of(
            "trace", 0, "debug", 1, "info", 2, "warning", 3, "warn", 3, "error", 4, "off", 6);
    private static final String LEVEL_NAMES = "trace, debug, info, warning (or warn), error, off";

    // Console codes are positions in the library's Logger::Console.
    private static final Map<String, Integer> CONSOLES = Map.of("stdout", 0, "stderr", 1, "off", 2);
    private static final String CONSOLE_NAMES = "stdout, stderr, off";

    private LogSettings() {
    }

    /**
     * Reads the three properties. A bad value keeps the default and becomes one error
     * line at the start of the log; it never throws.
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

    private static byte[] utf8(String text) {
        return text == null ? null : text.getBytes(StandardCharsets.UTF_8);
    }
}
