package qvstress;

import java.lang.management.ManagementFactory;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.ArrayList;
import java.util.HashMap;
import java.util.List;
import java.util.Map;
import java.util.TreeMap;
import java.util.TreeSet;
import java.util.concurrent.TimeUnit;
import java.util.regex.Pattern;
import java.util.stream.Stream;
import qv.vantrel.quorvane.Quorvane;
import qv.vantrel.quorvane.remapper.Remap;

/**
 * JVMs started at once in one working folder, as parallel test forks are: every line of every
 * log is kept. Each child logs its classes and then stays alive until all the others have logged
 * theirs, so that each starts while others write. Two rounds in the same folder.
 *
 * <p>{@code default}: the first JVM to start writes libagent.log, emptied as a log's start
 * empties it; each JVM that starts while another live JVM holds it leaves it alone and writes
 * libagent-2.log, libagent-3.log and so on, the first one no live JVM holds, saying so once on
 * its console and in that file. The second round reuses the same files: no file is left
 * behind per JVM. When this case runs with no JVM option, so do the children.
 *
 * <p>{@code rotating}: with a size limit, each start rotates the file it finds away into
 * libagent.1.log and so on, as it always has, and every line stays in one of them.
 *
 * <p>Usage: {@code SharedFolderCase default|rotating}
 */
public final class SharedFolderCase {
    private SharedFolderCase() {
    }

    private static final int JVMS = Support.size(8, 3);
    private static final int CLASSES = 20;
    private static final int ROUNDS = 2;
    private static final Pattern LOG_FILE = Pattern.compile("libagent(?:-\\d+|\\.\\d+)?\\.log");
    private static final Pattern REMAPPED = Pattern.compile("\\[Quorvane\\] Remapped: shared/(r\\d+j\\d+)c\\d+ ");
    private static final String IN_USE = "is in use by another process, so it is left as it is: this process logs to ";

    public static void main(String[] args) throws Exception {
        if (args[0].equals("child")) {
            child(args[1], Integer.parseInt(args[2]), Integer.parseInt(args[3]));
            return;
        }
        String row = args[0];
        Support.watchdog(280, "shared folder " + row);
        // A row run with no JVM option: its children get none either.
        boolean plain = ManagementFactory.getRuntimeMXBean().getInputArguments().isEmpty();
        Path dir = Files.createDirectories(Paths.get("shared"));
        for (int round = 0; round < ROUNDS; round++) {
            Files.createDirectories(dir.resolve("ready-" + round));
            List<Process> children = new ArrayList<>();
            for (int jvm = 0; jvm < JVMS; jvm++) {
                List<String> args0 = List.of("child", row, Integer.toString(round), Integer.toString(jvm));
                List<String> command = plain ? plainJvm(args0)
                        : Support.childJvm(List.of("-XX:ErrorFile=hs_err_pid%p.log"), "qvstress.SharedFolderCase",
                                args0.toArray(new String[0]));
                children.add(new ProcessBuilder(command).directory(dir.toFile()).redirectErrorStream(true)
                        .redirectOutput(dir.resolve(output(round, jvm)).toFile()).start());
            }
            List<String> consoles = new ArrayList<>();
            for (int jvm = 0; jvm < JVMS; jvm++) {
                Process child = children.get(jvm);
                Path output = dir.resolve(output(round, jvm));
                Support.check(child.waitFor(200, TimeUnit.SECONDS), "child " + jvm + " did not end");
                String text = Files.readString(output, StandardCharsets.ISO_8859_1);
                Support.check(child.exitValue() == 0, "child " + jvm + " exit status " + child.exitValue() + ":\n"
                        + text);
                for (String line : Support.jniComplaints(output)) {
                    Support.fail("child " + jvm + ": " + line);
                }
                consoles.add(text);
            }
            if (row.equals("rotating")) {
                checkRotated(dir, round);
            } else {
                checkBeside(dir, round, consoles);
            }
        }
        System.out.println("shared folder " + row + ": " + ROUNDS + " rounds of " + JVMS + " JVMs started at once"
                + (plain ? " with no JVM option" : "") + ", every line kept");
    }

    private static String output(int round, int jvm) {
        return "output-" + round + "-" + jvm + ".txt";
    }

    /** A child started as users start theirs: no JVM option, the library from the jar. */
    private static List<String> plainJvm(List<String> args) {
        List<String> command = new ArrayList<>(List.of(Paths.get(System.getProperty("java.home"), "bin", "java")
                .toString(), "-cp", System.getProperty("java.class.path"), "qvstress.SharedFolderCase"));
        command.addAll(args);
        return command;
    }

    /** The log files in dir by name, each read as it stands, and checked to hold whole lines. */
    private static Map<String, List<String>> logFiles(Path dir) throws Exception {
        Map<String, List<String>> files = new TreeMap<>();
        try (Stream<Path> entries = Files.list(dir)) {
            for (Path file : entries.toList()) {
                String name = file.getFileName().toString();
                if (name.endsWith(".log") && !name.startsWith("hs_err")) {
                    Support.check(LOG_FILE.matcher(name).matches(), "an unexpected log file: " + name);
                    String text = Files.readString(file, StandardCharsets.ISO_8859_1);
                    Support.check(text.endsWith("\n"), name + " ends in the middle of a line");
                    files.put(name, List.of(text.substring(0, text.length() - 1).split("\n", -1)));
                }
            }
        }
        return files;
    }

    /** Which JVM ("r<round>j<jvm>") wrote each Remapped line of lines, and how many each. */
    private static Map<String, Integer> writers(List<String> lines) {
        Map<String, Integer> writers = new HashMap<>();
        for (String line : lines) {
            var m = REMAPPED.matcher(line);
            if (m.find()) {
                writers.merge(m.group(1), 1, Integer::sum);
            }
        }
        return writers;
    }

    // One file per JVM of the round, named in order with no gap (libagent.log, libagent-2.log,
    // ...), each holding exactly one JVM's lines, all of them; every file but the first says in
    // its second line which file it stands in for, and so does the console of its JVM, once.
    private static void checkBeside(Path dir, int round, List<String> consoles) throws Exception {
        Map<String, List<String>> files = logFiles(dir);
        List<String> expected = new ArrayList<>();
        for (int i = 1; i <= JVMS; i++) {
            expected.add(i == 1 ? "libagent.log" : "libagent-" + i + ".log");
        }
        Support.check(files.keySet().equals(new TreeSet<>(expected)), "round " + round + ": log files "
                + files.keySet() + ", expected " + expected);
        Path first = dir.toRealPath().resolve("libagent.log");
        Map<String, Integer> everyWriter = new HashMap<>();
        for (Map.Entry<String, List<String>> file : files.entrySet()) {
            List<String> lines = file.getValue();
            Support.check(lines.get(0).endsWith("[info] [Quorvane] Initializing Quorvane..."), file.getKey()
                    + " starts with " + lines.get(0));
            long notes = lines.stream().filter(l -> l.contains(IN_USE)).count();
            if (file.getKey().equals("libagent.log")) {
                Support.check(notes == 0, "libagent.log says it stands in for a file");
            } else {
                Support.check(notes == 1 && lines.get(1).endsWith("[warning] [Quorvane] Log file " + first + " "
                        + IN_USE + dir.toRealPath().resolve(file.getKey())), file.getKey() + "'s second line: "
                        + lines.get(1));
            }
            Map<String, Integer> writers = writers(lines);
            Support.check(writers.size() == 1 && writers.values().iterator().next() == CLASSES, file.getKey()
                    + ": lines of " + writers);
            String writer = writers.keySet().iterator().next();
            Support.check(writer.startsWith("r" + round + "j"), file.getKey() + " holds the lines of " + writer);
            everyWriter.putAll(writers);
        }
        Support.check(everyWriter.size() == JVMS, "round " + round + ": the lines of " + everyWriter.size()
                + " JVMs, expected " + JVMS);
        long told = consoles.stream().filter(c -> c.contains(IN_USE)).count();
        Support.check(told == JVMS - 1, told + " consoles say where their lines went, expected " + (JVMS - 1));
        for (String console : consoles) {
            Support.check(console.split(Pattern.quote(IN_USE), -1).length <= 2, "a console says it twice:\n"
                    + console);
        }
    }

    // Every line of this round and the earlier ones, once, in the rotated files.
    private static void checkRotated(Path dir, int round) throws Exception {
        Map<String, Integer> everyWriter = new HashMap<>();
        for (Map.Entry<String, List<String>> file : logFiles(dir).entrySet()) {
            for (Map.Entry<String, Integer> writer : writers(file.getValue()).entrySet()) {
                Support.check(everyWriter.put(writer.getKey(), writer.getValue()) == null, writer.getKey()
                        + " wrote to two files");
            }
            Support.check(file.getValue().stream().noneMatch(l -> l.contains(IN_USE)), file.getKey()
                    + " says it stands in for a file");
        }
        for (int r = 0; r <= round; r++) {
            for (int jvm = 0; jvm < JVMS; jvm++) {
                Integer lines = everyWriter.get("r" + r + "j" + jvm);
                Support.check(lines != null && lines == CLASSES, "round " + r + ", JVM " + jvm + ": " + lines
                        + " lines of " + CLASSES);
            }
        }
    }

    // Logs its classes, then waits until every JVM of its round has logged theirs.
    private static void child(String row, int round, int jvm) throws Exception {
        if (row.equals("rotating")) {
            Quorvane.setLogMaxSize(1 << 20);
            Quorvane.setLogMaxFiles(4 * JVMS);
        }
        Remap.setTransformer((name, bytes) -> bytes);
        Support.check(Quorvane.addInclude("shared/"), "addInclude failed");
        Support.check(Quorvane.initNative(), "initNative failed");
        Support.ParallelLoader loader = new Support.ParallelLoader(name -> Support.classFile(name, false, 0));
        for (int c = 0; c < CLASSES; c++) {
            Class.forName("shared.r" + round + "j" + jvm + "c" + c, false, loader);
        }
        Path ready = Paths.get("ready-" + round);
        Files.createFile(ready.resolve(Integer.toString(jvm)));
        long deadline = System.nanoTime() + TimeUnit.SECONDS.toNanos(150);
        while (true) {
            try (Stream<Path> entries = Files.list(ready)) {
                if (entries.count() == JVMS) {
                    return;
                }
            }
            Support.check(System.nanoTime() < deadline, "the other JVMs did not all log their lines");
            Thread.sleep(20);
        }
    }
}
