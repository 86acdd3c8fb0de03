package qvstress;

import java.io.ByteArrayOutputStream;
import java.io.DataOutputStream;
import java.io.IOException;
import java.io.UncheckedIOException;
import java.nio.ByteBuffer;
import java.nio.CharBuffer;
import java.nio.charset.CharacterCodingException;
import java.nio.charset.CodingErrorAction;
import java.lang.management.ManagementFactory;
import java.lang.management.ThreadInfo;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.ArrayList;
import java.util.HashMap;
import java.util.List;
import java.util.Map;
import java.util.concurrent.TimeUnit;
import java.util.function.Function;
import java.util.regex.Matcher;
import java.util.regex.Pattern;

/** What the stress cases share: class files made on the fly, loaders, a watchdog, checks. */
final class Support {
    private Support() {
    }

    /** Fails the case: one line on stderr, exit status 1. */
    static void fail(String message) {
        System.err.println("FAIL: " + message);
        System.err.flush();
        Runtime.getRuntime().halt(1);
    }

    static void check(boolean condition, String message) {
        if (!condition) {
            fail(message);
        }
    }

    /**
     * Ends the JVM with a failure and a dump of every thread (locks included) when the
     * case has not finished in time: a deadlock must fail the case, not hang CI.
     */
    static void watchdog(long seconds, String what) {
        Thread dog = new Thread(() -> {
            try {
                Thread.sleep(TimeUnit.SECONDS.toMillis(seconds));
            } catch (InterruptedException e) {
                return;
            }
            StringBuilder dump = new StringBuilder();
            long[] deadlocked = ManagementFactory.getThreadMXBean().findDeadlockedThreads();
            dump.append("deadlocked threads: ").append(deadlocked == null ? 0 : deadlocked.length).append('\n');
            for (ThreadInfo info : ManagementFactory.getThreadMXBean().dumpAllThreads(true, true)) {
                dump.append(info);
                // ThreadInfo.toString cuts stacks at 8 frames; print the rest too.
                StackTraceElement[] stack = info.getStackTrace();
                for (int i = 8; i < stack.length; i++) {
                    dump.append("\tat ").append(stack[i]).append('\n');
                }
            }
            System.err.println(dump);
            fail(what + " did not finish within " + seconds + " s (thread dump above)");
        }, "watchdog");
        dog.setDaemon(true);
        dog.start();
    }

    /**
     * A minimal class file (no methods) named by an internal name, written as modified
     * UTF-8 the way the JVM stores names. Optionally a public static int field
     * "remapped" marks a replacement, and an attribute the JVM ignores pads the file
     * to a given total size.
     */
    static byte[] classFile(String internalName, boolean marker, int totalSize) {
        try {
            ByteArrayOutputStream bytes = new ByteArrayOutputStream();
            DataOutputStream out = new DataOutputStream(bytes);
            writeStart(out, internalName, 8);  // constant pool entries 1..7
            out.writeByte(1);
            out.writeUTF("remapped");  // #5
            out.writeByte(1);
            out.writeUTF("I");  // #6
            out.writeByte(1);
            out.writeUTF("QvPadding");  // #7
            writeClassHeader(out);
            if (marker) {
                out.writeShort(1);
                out.writeShort(0x0009);  // public static
                out.writeShort(5);
                out.writeShort(6);
                out.writeShort(0);
            } else {
                out.writeShort(0);
            }
            out.writeShort(0);  // methods
            int withoutPadding = bytes.size() + 2;
            if (totalSize > withoutPadding) {
                int padding = totalSize - withoutPadding - 6;
                check(padding >= 0, "class file size " + totalSize + " too small for padding");
                out.writeShort(1);
                out.writeShort(7);
                out.writeInt(padding);
                out.write(new byte[padding]);
            } else {
                out.writeShort(0);
            }
            out.flush();
            return bytes.toByteArray();
        } catch (IOException e) {
            throw new UncheckedIOException(e);
        }
    }

    /**
     * A class with one method, {@code public static String tag()}, returning the given text:
     * two tags give two class files of the same shape, which retransformation accepts.
     */
    static byte[] taggedClass(String internalName, String tag) {
        try {
            ByteArrayOutputStream bytes = new ByteArrayOutputStream();
            DataOutputStream out = new DataOutputStream(bytes);
            writeStart(out, internalName, 10);  // constant pool entries 1..9
            out.writeByte(1);
            out.writeUTF("tag");  // #5
            out.writeByte(1);
            out.writeUTF("()Ljava/lang/String;");  // #6
            out.writeByte(1);
            out.writeUTF("Code");  // #7
            out.writeByte(1);
            out.writeUTF(tag);  // #8
            out.writeByte(8);
            out.writeShort(8);  // #9 the string
            writeClassHeader(out);
            out.writeShort(0);  // fields
            out.writeShort(1);  // methods
            out.writeShort(0x0009);  // public static
            out.writeShort(5);
            out.writeShort(6);
            out.writeShort(1);
            out.writeShort(7);  // Code
            out.writeInt(15);
            out.writeShort(1);  // max_stack
            out.writeShort(0);  // max_locals
            out.writeInt(3);
            out.writeByte(0x12);  // ldc #9
            out.writeByte(9);
            out.writeByte(0xB0);  // areturn
            out.writeShort(0);  // exception table
            out.writeShort(0);  // attributes
            out.writeShort(0);  // class attributes
            out.flush();
            return bytes.toByteArray();
        } catch (IOException e) {
            throw new UncheckedIOException(e);
        }
    }

    // A class file's start, version 52, up to the first four constants: #1 the name, #2 this
    // class, #3 "java/lang/Object", #4 the super class.
    private static void writeStart(DataOutputStream out, String internalName, int poolCount) throws IOException {
        out.writeInt(0xCAFEBABE);
        out.writeShort(0);
        out.writeShort(52);
        out.writeShort(poolCount);
        out.writeByte(1);
        out.writeUTF(internalName);  // #1
        out.writeByte(7);
        out.writeShort(1);  // #2 this class
        out.writeByte(1);
        out.writeUTF("java/lang/Object");  // #3
        out.writeByte(7);
        out.writeShort(3);  // #4 super class
    }

    // After the constant pool: public, this class #2, super class #4, no interfaces.
    private static void writeClassHeader(DataOutputStream out) throws IOException {
        out.writeShort(0x0021);  // public super
        out.writeShort(2);
        out.writeShort(4);
        out.writeShort(0);  // interfaces
    }

    static String binaryName(String internalName) {
        return internalName.replace('/', '.');
    }

    static String internalName(String binaryName) {
        return binaryName.replace('.', '/');
    }

    /** Defines whatever class files its source gives, several threads at once. */
    static class ParallelLoader extends ClassLoader {
        static {
            registerAsParallelCapable();
        }

        private final Function<String, byte[]> source;

        ParallelLoader(Function<String, byte[]> source) {
            super(null);
            this.source = source;
        }

        @Override
        protected Class<?> findClass(String name) throws ClassNotFoundException {
            byte[] file = source.apply(internalName(name));
            if (file == null) {
                throw new ClassNotFoundException(name);
            }
            return defineClass(name, file, 0, file.length);
        }

        /** Defines a class from bytes with no name check on the Java side. */
        Class<?> define(byte[] file) {
            return defineClass(null, file, 0, file.length);
        }
    }

    /**
     * Not parallel capable (registration is not inherited): the JVM then records which thread loads a class through
     * it, and answers a nested request for the same class with ClassCircularityError.
     */
    static final class SerialLoader extends ParallelLoader {
        // Not registering, this subclass is not parallel capable, though its parent is.
        SerialLoader(Function<String, byte[]> source) {
            super(source);
        }
    }

    private static final Pattern LOG_LINE = Pattern.compile(
            "\\[\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2}\\] \\[(trace|debug|info|warning|error|critical)\\] "
                    + "\\[Quorvane\\] .+");
    private static final Pattern TIMESTAMP = Pattern.compile("\\[\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2}\\] \\[");
    private static final Pattern REMAPPED = Pattern.compile("\\[Quorvane\\] Remapped: (.+) \\((\\d+) -> (\\d+) bytes\\)");

    /** libagent.log of this working directory, read byte for byte (names are modified UTF-8). */
    static List<String> logLines() {
        try {
            byte[] raw = Files.readAllBytes(Paths.get("libagent.log"));
            String text = new String(raw, StandardCharsets.ISO_8859_1);
            check(text.isEmpty() || text.endsWith("\n"), "libagent.log ends in the middle of a line");
            List<String> lines = new ArrayList<>();
            for (String line : text.split("\n", -1)) {
                lines.add(line);
            }
            lines.remove(lines.size() - 1);
            return lines;
        } catch (IOException e) {
            throw new UncheckedIOException(e);
        }
    }

    /** Every line carries the timestamp, a level and the tag, and nothing is cut or merged. */
    static List<String> checkLogWellFormed() {
        List<String> lines = logLines();
        check(!lines.isEmpty(), "libagent.log is empty");
        for (String line : lines) {
            check(LOG_LINE.matcher(line).matches(), "malformed log line: " + line);
            // Two lines run together would show a second timestamp inside one line.
            check(!TIMESTAMP.matcher(line).region(1, line.length()).find(), "merged log lines: " + line);
        }
        return lines;
    }

    /** Internal name (as log bytes, ISO-8859-1) to how many "Remapped" lines name it. */
    static Map<String, Integer> remappedInLog(List<String> lines) {
        Map<String, Integer> counts = new HashMap<>();
        for (String line : lines) {
            Matcher m = REMAPPED.matcher(line);
            if (m.find()) {
                counts.merge(m.group(1), 1, Integer::sum);
            }
        }
        return counts;
    }

    static long countLines(List<String> lines, String fragment) {
        return lines.stream().filter(l -> l.contains(fragment)).count();
    }

    /**
     * A name as it appears in the log, read as ISO-8859-1: its standard UTF-8 bytes (NUL as
     * the NUL byte, a surrogate pair as four bytes), a lone surrogate written as U+FFFD.
     */
    static String asLogBytes(String internalName) {
        try {
            ByteBuffer utf8 = StandardCharsets.UTF_8.newEncoder()
                    .onMalformedInput(CodingErrorAction.REPLACE)
                    .replaceWith(new byte[] {(byte) 0xEF, (byte) 0xBF, (byte) 0xBD})
                    .encode(CharBuffer.wrap(internalName));
            return new String(utf8.array(), 0, utf8.limit(), StandardCharsets.ISO_8859_1);
        } catch (CharacterCodingException e) {
            throw new UncheckedIOException(e);
        }
    }

    /** Set by the harness when this JVM runs under a launcher (an emulator): children must too. */
    private static final String LAUNCHER = "quorvane.test.launcher";

    /** Set by the harness for a JDK that runs the cases many times slower (an emulated one). */
    private static final String SMALL = "quorvane.test.small";

    /** How much of something a case does: the full amount, or the small one on a slow JDK. */
    static int size(int full, int small) {
        return Boolean.getBoolean(SMALL) ? small : full;
    }

    /**
     * The command line of a child JVM set up like this one: -Xcheck:jni, same library and classpath, and
     * started through the same launcher when there is one.
     */
    static List<String> childJvm(List<String> jvmArgs, String mainClass, String... args) {
        List<String> command = new ArrayList<>();
        String launcher = System.getProperty(LAUNCHER);
        if (launcher != null) {
            command.add(launcher);
        }
        command.add(Paths.get(System.getProperty("java.home"), "bin", "java").toString());
        command.add("-Xcheck:jni");
        if (launcher != null) {
            command.add("-D" + LAUNCHER + "=" + launcher);
            command.add("-Djdk.lang.Process.launchMechanism=VFORK");
        }
        if (Boolean.getBoolean(SMALL)) {
            command.add("-D" + SMALL + "=true");
        }
        if (Runtime.version().feature() >= 24) {
            command.add("--enable-native-access=ALL-UNNAMED");
        }
        command.add("-Djava.library.path=" + System.getProperty("java.library.path"));
        command.add("-cp");
        command.add(System.getProperty("java.class.path"));
        command.addAll(jvmArgs);
        command.add(mainClass);
        command.addAll(List.of(args));
        return command;
    }

    /** What a child JVM left: its exit status (-1 when it hung and was ended), its output and any trouble. */
    record Child(int status, String output, List<String> trouble) {
    }

    /**
     * Runs a child JVM (see childJvm) in dir, output and error to dir/output.txt, and waits for it.
     * Trouble: a hang, a VM crash file, a JNI misuse or a fatal error in its output.
     */
    static Child runChild(Path dir, long timeoutSeconds, String mainClass, String... args) throws Exception {
        Files.createDirectories(dir);
        Path output = dir.resolve("output.txt");
        Process process = new ProcessBuilder(childJvm(List.of("-XX:ErrorFile=hs_err_pid%p.log"), mainClass, args))
                .directory(dir.toFile()).redirectErrorStream(true).redirectOutput(output.toFile()).start();
        List<String> trouble = new ArrayList<>();
        int status;
        if (process.waitFor(timeoutSeconds, TimeUnit.SECONDS)) {
            status = process.exitValue();
        } else {
            process.destroyForcibly().waitFor();
            status = -1;
            trouble.add(dir + ": hung");
        }
        try (var files = Files.list(dir)) {
            if (files.anyMatch(p -> p.getFileName().toString().startsWith("hs_err"))) {
                trouble.add(dir + ": crashed (hs_err file)");
            }
        }
        for (String line : jniComplaints(output)) {
            trouble.add(dir + ": " + line);
        }
        return new Child(status, Files.readString(output, StandardCharsets.ISO_8859_1), trouble);
    }

    /** Lines of a child's output that show a JNI misuse or a VM crash. */
    static List<String> jniComplaints(Path output) throws IOException {
        List<String> bad = new ArrayList<>();
        for (String line : Files.readAllLines(output, StandardCharsets.ISO_8859_1)) {
            if (line.contains("WARNING in native method") || line.contains("JNI local refs")
                    || line.contains("FATAL ERROR in native method") || line.contains("A fatal error has been detected")) {
                bad.add(line);
            }
        }
        return bad;
    }
}
