package qv.vantrel.quorvane.junit;

import org.junit.platform.commons.JUnitException;

/**
 * One agent of the test run as declared: its key, the value as written, where it was found,
 * and the value split as {@code -javaagent:} splits it, the jar before the first {@code '='}
 * and the agent's options after it (absent without an {@code '='}).
 */
final class Declaration {
    final String key;
    final int number;
    final String value;
    final String source;
    final String jar;
    final String options;

    private Declaration(String key, int number, String value, String source, String jar, String options) {
        this.key = key;
        this.number = number;
        this.value = value;
        this.source = source;
        this.jar = jar;
        this.options = options;
    }

    /**
     * The declaration of one key. The jar loses the blanks around it, which a properties file
     * keeps at the end of a line and no file name has; the options stay byte for byte.
     *
     * @throws JUnitException if the value names no jar
     */
    static Declaration parse(String key, int number, String value, String source) {
        int separator = value.indexOf('=');
        String jar = (separator < 0 ? value : value.substring(0, separator)).strip();
        String options = separator < 0 ? null : value.substring(separator + 1);
        Declaration declaration = new Declaration(key, number, value, source, jar, options);
        if (jar.isEmpty()) {
            throw new JUnitException("Cannot start the test run's agent " + declaration.describe()
                    + ": it names no jar. The value is what follows -javaagent: the jar, then optionally '=' and"
                    + " the agent's options, as in byte-buddy-agent*.jar or /opt/tools/profiler.jar=interval=10ms");
        }
        return declaration;
    }

    /** The same key with the same value, so started once in a JVM however many sessions declare it. */
    String identity() {
        return key + '=' + value;
    }

    /** How messages name it: {@code qv.vantrel.quorvane.agent.1 = x*.jar (system property)}. */
    String describe() {
        return key + " = " + value + " (" + source + ")";
    }
}
