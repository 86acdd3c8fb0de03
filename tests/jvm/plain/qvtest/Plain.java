package qvtest;

import java.lang.reflect.InvocationTargetException;
import java.lang.reflect.Method;
import java.lang.reflect.Modifier;
import java.util.Arrays;

/**
 * Starts a case in a JVM that was given no option at all, as {@code java -cp app.jar Main}
 * starts an application: the case's system properties arrive as leading {@code -Dkey=value}
 * program arguments and are set here, before the case's main runs; the JVM itself sees none.
 *
 * <p>Usage: {@code java -cp plain.jar:... qvtest.Plain [-Dkey=value]... MainClass [args]...}
 */
public final class Plain {
    private Plain() {
    }

    public static void main(String[] args) throws Throwable {
        int at = 0;
        for (; at < args.length && args[at].startsWith("-D"); at++) {
            String property = args[at].substring(2);
            int equals = property.indexOf('=');
            if (equals <= 0) {
                throw new IllegalArgumentException("not -Dkey=value: " + args[at]);
            }
            System.setProperty(property.substring(0, equals), property.substring(equals + 1));
        }
        if (at == args.length || args[at].startsWith("-")) {
            throw new IllegalArgumentException("a row without JVM options takes only -D properties before its main "
                    + "class, not " + (at == args.length ? "nothing" : args[at]));
        }
        Method main = Class.forName(args[at], false, ClassLoader.getSystemClassLoader())
                .getMethod("main", String[].class);
        if (!Modifier.isStatic(main.getModifiers())) {
            throw new IllegalArgumentException(args[at] + ".main is not static");
        }
        try {
            main.invoke(null, (Object) Arrays.copyOfRange(args, at + 1, args.length));
        } catch (InvocationTargetException e) {
            // As the launcher would report it: the case's own exception, not the reflection's.
            throw e.getCause();
        }
    }
}
