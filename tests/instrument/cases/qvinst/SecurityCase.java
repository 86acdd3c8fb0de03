package qvinst;

import java.io.File;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;
import java.util.Set;
import java.util.concurrent.TimeUnit;

/**
 * Who gets an Instrumentation from Quorvane, under each JDK and each setting of native
 * access and dynamic agent loading: a table of rows, each a child JVM of its own (in a
 * folder of its own, under -Xcheck:jni) that runs the application of
 * tests/instrument/security (qvinst.app.Main) on the module path or the class path. The
 * application prints one line per action; each row names the lines it expects, how many
 * native-access warnings each module gets, and whether Quorvane's log started.
 *
 * <p>Usage: {@code SecurityCase <app.jar> <other.jar> <agent.jar> <quorvane.jar>}
 */
public final class SecurityCase {
    private static final String DENIED = "threw java.lang.IllegalCallerException";
    private static final String FLAG = "-XX:-EnableDynamicAgentLoading";
    private static final String FLAG_REFUSAL = "threw java.lang.IllegalStateException";

    private SecurityCase() {
    }

    /** One child JVM: how it starts, what it does, and what it must print. */
    private static final class Row {
        final String name;
        final Set<Integer> jdks;
        final boolean modulePath;
        final List<String> options = new ArrayList<>();
        final Map<String, String> environment = new LinkedHashMap<>();
        // Files written into the child's working folder, by name.
        final Map<String, String> files = new LinkedHashMap<>();
        final List<String> actions = new ArrayList<>();
        // Per action, the texts its line must hold.
        final Map<String, List<String>> expected = new LinkedHashMap<>();
        // Per module (ALL-UNNAMED for the unnamed one), how many warnings Quorvane gives it.
        final Map<String, Integer> warnings = new LinkedHashMap<>();
        boolean logStarted = true;
        boolean flagOracle;

        Row(String name, boolean modulePath, Integer... jdks) {
            this.name = name;
            this.modulePath = modulePath;
            this.jdks = Set.of(jdks);
        }

        Row options(String... given) {
            options.addAll(List.of(given));
            return this;
        }

        Row environment(String variable, String value) {
            environment.put(variable, value);
            return this;
        }

        Row file(String name, String content) {
            files.put(name, content);
            return this;
        }

        Row expect(String action, String... texts) {
            actions.add(action);
            expected.put(action, List.of(texts));
            return this;
        }

        Row warned(String module, int times) {
            warnings.put(module, times);
            return this;
        }

        /** Nothing started: no log, as no Instrumentation was made. */
        Row nothingStarted() {
            logStarted = false;
            return this;
        }

        /**
         * Checks the flag's refusals against the JDK's own answer: refused exactly when
         * HotSpotDiagnosticMXBean says EnableDynamicAgentLoading is false and the operator
         * set it (an origin other than DEFAULT). Class path only: the module path has no
         * jdk.management here.
         */
        Row flagOracle() {
            flagOracle = true;
            actions.add(0, "flag");
            return this;
        }
    }

    /** Everything Quorvane hands out, refused to a module, and nothing of it done. */
    private static Row refusedTo(Row row, String module) {
        String[] denied = {DENIED, "module " + module, "--enable-native-access=" + module};
        return row.expect("instrumentation", denied)
                .expect("via-jdk", denied)
                .expect("via-thread", "IllegalCallerException", "module " + module)
                .expect("load-agent", denied)
                .expect("agent-state", "started=null appended=false")
                .expect("launcher-agent", denied)
                .expect("escalate", denied);
    }

    /** Quorvane's hand-outs work for the application: a retransformation, an agent jar and the launcher agent started. */
    private static Row works(Row row) {
        return row.expect("instrumentation", "retransformed")
                .expect("instrumentation-again", "the same object")
                .expect("via-jdk", "handed out")
                .expect("load-agent", "returned")
                .expect("agent-state", "started=by-load-agent appended=true")
                .expect("launcher-agent", "returned true, started=started");
    }

    /** The operator's -XX:-EnableDynamicAgentLoading honoured: nothing handed out, appended or started. */
    private static Row flagRefuses(Row row) {
        return row.expect("instrumentation", FLAG_REFUSAL, FLAG)
                .expect("load-agent", FLAG_REFUSAL, FLAG)
                .expect("agent-state", "started=null appended=false")
                .expect("launcher-agent", FLAG_REFUSAL, FLAG)
                .nothingStarted();
    }

    private static List<Row> rows() {
        String quorvaneOnly = "--enable-native-access=qv.vantrel.quorvane";
        String deny = "--illegal-native-access=deny";
        // The modules qvinst.app needs and no more, as in a jlink'ed image: without it the
        // JDK's service binding resolves java.management and jdk.management.
        String limited = "--limit-modules=qvinst.app";
        List<Row> rows = new ArrayList<>();
        // The escalation: the JVM refuses qvinst.app native code, so Quorvane must not
        // hand it the means to open java.lang and grant itself native access.
        rows.add(refusedTo(new Row("module path, Quorvane granted alone, deny", true, 25)
                .options(quorvaneOnly, deny)
                .expect("system-load", DENIED, "module qvinst.app"), "qvinst.app")
                .expect("reflective", DENIED, "module qvinst.other", "--enable-native-access=qvinst.other")
                .expect("handle", DENIED, "module qvinst.other", "--enable-native-access=qvinst.other")
                // The module keeps its internals closed: no way around the check by reflection.
                .expect("deep", "threw java.lang.reflect.InaccessibleObjectException")
                .expect("internal-api", "threw java.lang.IllegalAccessException")
                .nothingStarted());
        // The mode read from JAVA_TOOL_OPTIONS as well as from the command line, in a
        // JVM whose modules are limited as a jlink'ed image's are: no java.management to ask.
        rows.add(new Row("module path, limited modules, Quorvane granted alone, deny in JAVA_TOOL_OPTIONS", true, 25)
                .options(limited, quorvaneOnly).environment("JAVA_TOOL_OPTIONS", deny)
                .expect("modules", "java.management=false jdk.management=false")
                .expect("instrumentation", DENIED, "module qvinst.app")
                .expect("load-agent", DENIED, "module qvinst.app")
                .nothingStarted());
        rows.add(works(new Row("module path, both modules granted, deny", true, 25)
                .options("--enable-native-access=qv.vantrel.quorvane,qvinst.app", deny)
                .expect("system-load", "loaded"))
                .expect("reflective", DENIED, "module qvinst.other", "--enable-native-access=qvinst.other"));
        // The default through JDK 25: it works, with one warning per module however often it is called.
        rows.add(works(new Row("module path, Quorvane granted alone, default mode", true, 25).options(quorvaneOnly))
                .expect("reflective", "handed out")
                .expect("handle", "handed out")
                .warned("qvinst.app", 1)
                .warned("qvinst.other", 1));
        rows.add(works(new Row("module path, Quorvane granted alone, allow", true, 25)
                .options(quorvaneOnly, "--illegal-native-access=allow"))
                .expect("reflective", "handed out")
                .warned("qvinst.app", 0)
                .warned("qvinst.other", 0));
        // The operator's word where jdk.management is not there to ask.
        rows.add(flagRefuses(new Row("module path, limited modules, every module granted, " + FLAG, true, 25)
                .options(limited, "--enable-native-access=qv.vantrel.quorvane,qvinst.app,qvinst.other", FLAG)
                .expect("modules", "java.management=false jdk.management=false")));
        // Nothing granted: Quorvane's own library does not load.
        rows.add(new Row("class path, nothing granted, deny", false, 25).options(deny)
                .expect("instrumentation", "threw", "IllegalCallerException")
                .expect("load-agent", "threw")
                .expect("agent-state", "started=null appended=false")
                .nothingStarted());
        // The JDK warns once as Quorvane's library loads, which allows the unnamed module from then on.
        rows.add(works(new Row("class path, nothing granted, default mode", false, 25))
                .expect("reflective", "handed out")
                .warned("ALL-UNNAMED", 0));
        rows.add(works(new Row("class path, ALL-UNNAMED granted, deny", false, 25)
                .options("--enable-native-access=ALL-UNNAMED", deny))
                .expect("reflective", "handed out")
                .warned("ALL-UNNAMED", 0));
        // Nothing changes on JDK 17: no native-access control, any module gets it.
        rows.add(works(new Row("module path, no options", true, 17))
                .expect("reflective", "handed out"));
        for (int jdk : new int[] {17, 25}) {
            String[] grant = jdk >= 24 ? new String[] {"--enable-native-access=ALL-UNNAMED"} : new String[0];
            rows.add(flagRefuses(new Row("class path, " + FLAG, false, jdk).options(grant).options(FLAG)).flagOracle());
            rows.add(flagRefuses(new Row("class path, " + FLAG + " in JAVA_TOOL_OPTIONS", false, jdk)
                    .options(grant).environment("JAVA_TOOL_OPTIONS", FLAG)).flagOracle());
            // A flags file lists it without -XX:.
            rows.add(flagRefuses(new Row("class path, -EnableDynamicAgentLoading in a flags file", false, jdk)
                    .options(grant).options("-XX:Flags=flags.txt").file("flags.txt", "-EnableDynamicAgentLoading\n"))
                    .flagOracle());
            rows.add(works(new Row("class path, -XX:+EnableDynamicAgentLoading", false, jdk)
                    .options(grant).options("-XX:+EnableDynamicAgentLoading")).flagOracle());
            rows.add(works(new Row("class path, " + FLAG + " then -XX:+EnableDynamicAgentLoading", false, jdk)
                    .options(grant).options(FLAG, "-XX:+EnableDynamicAgentLoading")).flagOracle());
            rows.add(works(new Row("class path, no flag", false, jdk).options(grant)).flagOracle());
        }
        return rows;
    }

    public static void main(String[] args) throws Exception {
        Path app = Path.of(args[0]).toAbsolutePath();
        Path other = Path.of(args[1]).toAbsolutePath();
        Path agent = Path.of(args[2]).toAbsolutePath();
        Path quorvane = Path.of(args[3]).toAbsolutePath();
        int jdk = Runtime.version().feature();
        List<String> failures = new ArrayList<>();
        int run = 0;
        for (Row row : rows()) {
            if (!row.jdks.contains(jdk)) {
                continue;
            }
            run++;
            Path folder = Path.of("row-" + run).toAbsolutePath();
            String output = runChild(row, folder, app, other, agent, quorvane);
            List<String> wrong = check(row, folder, output);
            if (!wrong.isEmpty()) {
                failures.add(row.name + ":\n  " + String.join("\n  ", wrong) + "\n  output (" + folder + "):\n"
                        + output.indent(4));
            }
        }
        InstrumentationCase.check(run > 0, "no rows for JDK " + jdk);
        InstrumentationCase.check(failures.isEmpty(), failures.size() + " of " + run + " rows failed:\n"
                + String.join("\n", failures));
        System.out.println("security: " + run + " rows on JDK " + jdk + " as expected");
    }

    private static String runChild(Row row, Path folder, Path app, Path other, Path agent, Path quorvane)
            throws Exception {
        Files.createDirectories(folder);
        for (Map.Entry<String, String> file : row.files.entrySet()) {
            Files.writeString(folder.resolve(file.getKey()), file.getValue(), StandardCharsets.UTF_8);
        }
        String libraryPath = System.getProperty("java.library.path");
        List<String> command = new ArrayList<>();
        command.add(Path.of(System.getProperty("java.home"), "bin", "java").toString());
        command.add("-Xcheck:jni");
        command.add("-Djava.library.path=" + libraryPath);
        command.add("-Dqvinst.library=" + Path.of(libraryPath, "libquorvane.so"));
        command.add("-Dqvinst.agent=" + agent);
        command.addAll(row.options);
        String path = app + File.pathSeparator + other + File.pathSeparator + quorvane;
        if (row.modulePath) {
            command.addAll(List.of("--module-path", path, "--module", "qvinst.app/qvinst.app.Main"));
        } else {
            command.addAll(List.of("-cp", path, "qvinst.app.Main"));
        }
        command.addAll(row.actions);
        ProcessBuilder builder = new ProcessBuilder(command).directory(folder.toFile()).redirectErrorStream(true)
                .redirectOutput(folder.resolve("output.txt").toFile());
        for (String variable : List.of("JAVA_TOOL_OPTIONS", "JDK_JAVA_OPTIONS", "_JAVA_OPTIONS")) {
            builder.environment().remove(variable);
        }
        builder.environment().putAll(row.environment);
        Process child = builder.start();
        InstrumentationCase.check(child.waitFor(120, TimeUnit.SECONDS), row.name + ": the child JVM did not finish");
        return "exit " + child.exitValue() + "\n"
                + Files.readString(folder.resolve("output.txt"), StandardCharsets.UTF_8);
    }

    /** What is wrong with a row's output, one line per fault. */
    private static List<String> check(Row row, Path folder, String output) throws Exception {
        List<String> wrong = new ArrayList<>();
        if (!output.startsWith("exit 0\n")) {
            wrong.add("the child did not exit 0");
        }
        if (output.contains("WARNING in native method") || output.contains("JNI local refs")) {
            wrong.add("-Xcheck:jni warned");
        }
        List<String> lines = output.lines().toList();
        for (Map.Entry<String, List<String>> action : row.expected.entrySet()) {
            String line = lines.stream().filter(l -> l.startsWith(action.getKey() + ": ")).findFirst().orElse(null);
            if (line == null) {
                wrong.add("no line for " + action.getKey());
                continue;
            }
            for (String text : action.getValue()) {
                if (!line.contains(text)) {
                    wrong.add(action.getKey() + ": expected \"" + text + "\" in \"" + line + "\"");
                }
            }
        }
        for (Map.Entry<String, Integer> module : row.warnings.entrySet()) {
            // Quorvane's warning, as the JDK's restricted-method warning looks (the JDK's own
            // has the same advice line), once per module.
            String in = module.getKey().equals("ALL-UNNAMED") ? " in an unnamed module" : " in module " + module.getKey();
            String advice = "WARNING: Use --enable-native-access=" + module.getKey() + " to avoid a warning";
            int named = 0;
            int advised = 0;
            for (int i = 0; i < lines.size(); i++) {
                if (lines.get(i).startsWith("WARNING: qv.vantrel.quorvane.Quorvane::") && lines.get(i).contains(in)) {
                    named++;
                    advised += i + 1 < lines.size() && lines.get(i + 1).startsWith(advice) ? 1 : 0;
                }
            }
            if (named != module.getValue() || advised != module.getValue()) {
                wrong.add(module.getKey() + ": " + named + " warnings naming the module, " + advised
                        + " of them advising the grant, expected " + module.getValue());
            }
            Path log = folder.resolve("libagent.log");
            long logged = Files.exists(log) ? Files.readAllLines(log, StandardCharsets.UTF_8).stream()
                    .filter(l -> l.contains("[warning]") && l.contains("--enable-native-access=" + module.getKey()))
                    .count() : 0;
            if (logged != module.getValue()) {
                wrong.add(module.getKey() + ": " + logged + " warning lines in libagent.log, expected " + module.getValue());
            }
        }
        if (Files.exists(folder.resolve("libagent.log")) != row.logStarted) {
            wrong.add(row.logStarted ? "Quorvane's log did not start" : "Quorvane's log started: something was handed out");
        }
        if (row.flagOracle) {
            String answer = lines.stream().filter(l -> l.startsWith("flag: ")).findFirst().orElse("flag: none");
            boolean operatorDisabled = answer.startsWith("flag: false ") && !answer.endsWith(" DEFAULT");
            boolean refused = lines.stream().anyMatch(l -> l.startsWith("instrumentation: " + FLAG_REFUSAL));
            if (refused != operatorDisabled) {
                wrong.add("refused: " + refused + ", but the JDK's HotSpotDiagnosticMXBean says " + answer);
            }
        }
        return wrong;
    }
}
