package qv.vantrel.quorvane.junit;

import java.io.IOException;
import java.io.InputStream;
import java.net.URL;
import java.net.URLConnection;
import java.util.ArrayList;
import java.util.List;
import java.util.Map;
import java.util.Properties;
import java.util.TreeMap;
import org.junit.platform.commons.JUnitException;

/**
 * Reads a test run's agents: the keys {@code qv.vantrel.quorvane.agent.<number>} of the system
 * properties and of the first {@code junit-platform.properties} of the test class path, found
 * as JUnit finds it. The listener runs before discovery, where the launcher (1.8 and 1.9) gives
 * a session listener no configuration parameters, so the launcher's other parameters are not
 * seen.
 */
final class Declarations {
    static final String KEY = "qv.vantrel.quorvane.agent";
    static final String FILE = "junit-platform.properties";
    static final String SYSTEM_PROPERTY = "system property";

    // Up to nine digits, so that every number fits an int.
    private static final int MAX_DIGITS = 9;

    private Declarations() {
    }

    /**
     * The agents that the system properties and the test class path's
     * {@code junit-platform.properties} declare.
     *
     * @param file the file as the tests' class loader finds it, or null when there is none
     * @throws JUnitException if the file cannot be read, or a key or value is not one of an agent
     */
    static List<Declaration> read(URL file) {
        return of(System.getProperties(), file != null ? load(file) : null, file != null ? FILE + " at " + file : null);
    }

    /**
     * The agents of two sets of keys, in the order of their numbers; a system property wins over
     * the file's key of the same number.
     *
     * @param file the file's keys, or null when there is none
     * @param fileSource how messages name the file
     * @throws JUnitException if a key or value is not one of an agent
     */
    static List<Declaration> of(Properties system, Properties file, String fileSource) {
        Map<Integer, Declaration> agents = new TreeMap<>();
        if (file != null) {
            collect(file, fileSource, agents);
        }
        collect(system, SYSTEM_PROPERTY, agents);
        return new ArrayList<>(agents.values());
    }

    private static void collect(Properties properties, String source, Map<Integer, Declaration> agents) {
        for (String key : properties.stringPropertyNames()) {
            // Anything close to an agent's key counts, so that a misspelt one fails the run
            // instead of leaving it without its agent.
            if (key.startsWith(KEY)) {
                int number = number(key, source);
                agents.put(number, Declaration.parse(key, number, properties.getProperty(key), source));
            }
        }
    }

    /** The number of an agent's key: 1, 2, ..., written without leading zeros. */
    private static int number(String key, String source) {
        String digits = key.startsWith(KEY + ".") ? key.substring(KEY.length() + 1) : "";
        boolean valid = !digits.isEmpty() && digits.length() <= MAX_DIGITS && digits.charAt(0) != '0';
        for (int i = 0; valid && i < digits.length(); i++) {
            valid = digits.charAt(i) >= '0' && digits.charAt(i) <= '9';
        }
        if (!valid) {
            throw new JUnitException("Cannot start the test run's agents: " + key + " (" + source + ") is no agent's"
                    + " key. Agents are declared as " + KEY + ".1, " + KEY + ".2 and so on, each numbered"
                    + " (1 to 999999999, no leading zero), and start in the order of their numbers");
        }
        return Integer.parseInt(digits);
    }

    /** The file's keys, read as JUnit reads the file (ISO 8859-1 with escapes). */
    private static Properties load(URL file) {
        Properties properties = new Properties();
        try {
            URLConnection connection = file.openConnection();
            // Leaves no jar open in the URL cache.
            connection.setUseCaches(false);
            try (InputStream in = connection.getInputStream()) {
                properties.load(in);
            }
        } catch (IOException | IllegalArgumentException e) {
            throw new JUnitException("Cannot start the test run's agents: " + file + " cannot be read: " + e, e);
        }
        return properties;
    }
}
