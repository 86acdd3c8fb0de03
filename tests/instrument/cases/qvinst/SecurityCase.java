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
 * <p>Some rows start the child as users do, with no option but those the row is about and an
 * environment holding only PATH and HOME (and the row's variables): from the class path, or
 * as {@code java -jar app.jar} whose manifest names quorvane.jar in its Class-Path, with the
 * operator's settings in JDK_JAVA_OPTIONS, an @argfile, -XX:VMOptionsFile= or -XX:Flags=. Their
 * system properties reach the application as arguments.
 *
 * <p>Usage: {@code SecurityCase <app.jar> <other.jar> <agent.jar> <quorvane.jar> <java-jar folder>}
 * (the folder holds app.jar, granting native access in its manifest, app-ungranted.jar, and the
 * jars their Class-Path names)
 */
public final class SecurityCase {
    private static final String DENIED = "threw java.lang.IllegalCallerException";
    private static final String FLAG = "-XX:-EnableDynamicAgentLoading";
    private static final String FLAG_REFUSAL = "threw java.lang.IllegalStateException";
    // The JDK's own warning, as Quorvane's library loads from code without native access.
    private static final String JDK_WARNING = "WARNING: A restricted method in java.lang.System has been called";

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
        // Started as users start it (no option of the harness, a clean environment), and with
        // java -jar on the named jar of the java-jar folder when not null.
        boolean asUsers;
        String javaJar;
        // How many times the JDK warns of Quorvane's library; null: not checked.
        Integer jdkWarnings;
        // No warning at all, the JDK's or Quorvane's.
        boolean quiet;
        // Per action, texts its line must not hold.
        final Map<String, List<String>> unexpected = new LinkedHashMap<>();
        // Per module, the start of the advice line of Quorvane's warning, when not the option's.
        final Map<String, String> advice = new LinkedHashMap<>();

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

        /** Warned, with an advice line that starts with the given text instead of the option's. */
        Row warned(String module, int times, String adviceStart) {
            advice.put(module, adviceStart);
            return warned(module, times);
        }

        Row expectNot(String action, String... texts) {
            unexpected.put(action, List.of(texts));
            return this;
        }

        /** As users start it: no -Xcheck:jni, no library path, only PATH and HOME in the environment. */
        Row asUsers() {
            asUsers = true;
            return this;
        }

        /** java -jar on a jar of the java-jar folder, as users start it. */
        Row javaJar(String jar) {
            javaJar = jar;
            return asUsers();
        }

        Row jdkWarnings(int times) {
            jdkWarnings = times;
            return this;
        }

        Row quiet() {
            quiet = true;
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

    /** What works from the class path, started with java -jar (which has run no launcher agent here). */
    private static Row worksFromJar(Row row) {
        return row.expect("instrumentation", "retransformed")
                .expect("instrumentation-again", "the same object")
                .expect("via-jdk", "handed out")
                .expect("load-agent", "returned")
                .expect("agent-state", "started=by-load-agent appended=true");
    }

    private static Row flagRefusesFromJar(Row row) {
        return row.expect("instrumentation", FLAG_REFUSAL, FLAG)
                .expect("load-agent", FLAG_REFUSAL, FLAG)
                .expect("agent-state", "started=null appended=false")
                .nothingStarted();
    }

    /** The operator's option, given through one of the places the launcher or the JVM reads. */
    private static Row operator(Row row, String source, String option) {
        switch (source) {
            case "JDK_JAVA_OPTIONS":
                return row.environment("JDK_JAVA_OPTIONS", option);
            case "an @argfile":
                return row.file("operator.args", option + "\n").options("@operator.args");
            case "-XX:VMOptionsFile=":
                return row.file("operator.options", option + "\n").options("-XX:VMOptionsFile=operator.options");
            case "-XX:Flags=":
                return row.file("operator.flags", option + "\n").options("-XX:Flags=operator.flags");
            default:
                throw new IllegalArgumentException(source);
        }
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
        // A granted module's call through a MethodHandleProxies proxy comes from the proxy's
        // module, which no option can grant, and a module of a layer of the application's own
        // is granted by the layer's controller, not by the option: the refusals say so.
        rows.add(works(new Row("module path, both modules granted, deny", true, 25)
                .options("--enable-native-access=qv.vantrel.quorvane,qvinst.app", deny)
                .expect("system-load", "loaded"))
                .expect("reflective", DENIED, "module qvinst.other", "--enable-native-access=qvinst.other")
                .expect("proxy", DENIED, "module jdk.MHProxy", "no option grants native access to jdk.MHProxy",
                        "through a lambda or a method reference, from a module with native access")
                .expect("layer", DENIED, "module qvinst.other",
                        "allow it with ModuleLayer.Controller.enableNativeAccess(qvinst.other)")
                .expectNot("layer", "--enable-native-access=qvinst.other")
                .expect("layer-granted", "handed out"));
        // The default through JDK 25: it works, with one warning per module however often it is called.
        rows.add(works(new Row("module path, Quorvane granted alone, default mode", true, 25).options(quorvaneOnly))
                .expect("reflective", "handed out")
                .expect("handle", "handed out")
                .expect("proxy", "handed out")
                .warned("qvinst.app", 1)
                .warned("qvinst.other", 1)
                .warned("jdk.MHProxy", 1, "WARNING: No option grants native access to jdk.MHProxy"));
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
        // As users start it, with no option at all: the JVM then reports no input arguments.
        rows.add(works(new Row("class path, no options at all", false, 17).asUsers()));
        rows.add(works(new Row("class path, no options at all", false, 25).asUsers()).jdkWarnings(1)
                .warned("ALL-UNNAMED", 0));
        rows.add(worksFromJar(new Row("java -jar, no options at all", false, 17).javaJar("app.jar")));
        // The manifest's Enable-Native-Access is the operator's grant, though not a JVM argument.
        rows.add(worksFromJar(new Row("java -jar, no options at all", false, 25).javaJar("app.jar")).quiet());
        rows.add(worksFromJar(new Row("java -jar, manifest grant, deny in JDK_JAVA_OPTIONS", false, 25)
                .javaJar("app.jar").environment("JDK_JAVA_OPTIONS", deny)).quiet());
        // The operator's word from each place a launcher or the JVM reads options: honoured as
        // from the command line.
        for (String source : List.of("JDK_JAVA_OPTIONS", "an @argfile", "-XX:VMOptionsFile=", "-XX:Flags=")) {
            for (int jdk : new int[] {17, 25}) {
                // A flags file lists the flag without -XX:.
                String flag = source.equals("-XX:Flags=") ? "-EnableDynamicAgentLoading" : FLAG;
                rows.add(flagRefusesFromJar(operator(new Row("java -jar, " + FLAG + " in " + source, false, jdk)
                        .javaJar("app.jar"), source, flag)).flagOracle());
            }
            if (source.equals("-XX:Flags=")) {
                continue;  // a flags file holds -XX flags only
            }
            rows.add(operator(new Row("java -jar, no manifest grant, deny in " + source, false, 25)
                    .javaJar("app-ungranted.jar"), source, deny)
                    .expect("instrumentation", "threw", "IllegalCallerException")
                    .expect("load-agent", "threw", "IllegalCallerException")
                    .expect("agent-state", "started=null appended=false")
                    .nothingStarted());
            rows.add(worksFromJar(operator(new Row("java -jar, no manifest grant, warn in " + source, false, 25)
                    .javaJar("app-ungranted.jar"), source, "--illegal-native-access=warn"))
                    .jdkWarnings(1).warned("ALL-UNNAMED", 0));
        }
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
        Path jars = Path.of(args[4]).toAbsolutePath();
        int jdk = Runtime.version().feature();
        List<String> failures = new ArrayList<>();
        int run = 0;
        for (Row row : rows()) {
            if (!row.jdks.contains(jdk)) {
                continue;
            }
            run++;
            Path folder = Path.of("row-" + run).toAbsolutePath();
            String output = runChild(row, folder, app, other, agent, quorvane, jars);
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

    private static String runChild(Row row, Path folder, Path app, Path other, Path agent, Path quorvane,
            Path jars) throws Exception {
        Files.createDirectories(folder);
        for (Map.Entry<String, String> file : row.files.entrySet()) {
            Files.writeString(folder.resolve(file.getKey()), file.getValue(), StandardCharsets.UTF_8);
        }
        String libraryPath = System.getProperty("java.library.path");
        List<String> command = new ArrayList<>();
        command.add(Path.of(System.getProperty("java.home"), "bin", "java").toString());
        if (!row.asUsers) {
            command.add("-Xcheck:jni");
            command.add("-Djava.library.path=" + libraryPath);
            command.add("-Dqvinst.library=" + Path.of(libraryPath, "libquorvane.so"));
            command.add("-Dqvinst.agent=" + agent);
        }
        command.addAll(row.options);
        String path = app + File.pathSeparator + other + File.pathSeparator + quorvane;
        if (row.javaJar != null) {
            command.addAll(List.of("-jar", jars.resolve(row.javaJar).toString()));
        } else if (row.modulePath) {
            command.addAll(List.of("--module-path", path, "--module", "qvinst.app/qvinst.app.Main"));
        } else {
            command.addAll(List.of("-cp", path, "qvinst.app.Main"));
        }
        if (row.asUsers) {
            command.add("-Dqvinst.agent=" + agent);
        }
        command.addAll(row.actions);
        ProcessBuilder builder = new ProcessBuilder(command).directory(folder.toFile()).redirectErrorStream(true)
                .redirectOutput(folder.resolve("output.txt").toFile());
        if (row.asUsers) {
            Map<String, String> inherited = Map.copyOf(builder.environment());
            builder.environment().clear();
            builder.environment().put("PATH", inherited.getOrDefault("PATH", "/usr/bin:/bin"));
            builder.environment().put("HOME", inherited.getOrDefault("HOME", "/"));
        }
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
            for (String text : row.unexpected.getOrDefault(action.getKey(), List.of())) {
                if (line.contains(text)) {
                    wrong.add(action.getKey() + ": unexpected \"" + text + "\" in \"" + line + "\"");
                }
            }
        }
        for (Map.Entry<String, Integer> module : row.warnings.entrySet()) {
            // Quorvane's warning, as the JDK's restricted-method warning looks (the JDK's own
            // has the same advice line), once per module.
            String in = module.getKey().equals("ALL-UNNAMED") ? " in an unnamed module" : " in module " + module.getKey();
            String advice = row.advice.getOrDefault(module.getKey(),
                    "WARNING: Use --enable-native-access=" + module.getKey() + " to avoid a warning");
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
                    .filter(l -> l.contains("[warning]") && l.contains(row.advice.containsKey(module.getKey())
                            ? "no option grants native access to " + module.getKey()
                            : "--enable-native-access=" + module.getKey()))
                    .count() : 0;
            if (logged != module.getValue()) {
                wrong.add(module.getKey() + ": " + logged + " warning lines in libagent.log, expected " + module.getValue());
            }
        }
        // An option that cannot grant anything is never suggested: the JDK's proxy modules
        // exist only at run time.
        for (String proxy : List.of("--enable-native-access=jdk.MHProxy", "--enable-native-access=jdk.proxy")) {
            if (output.contains(proxy)) {
                wrong.add("suggests " + proxy + "..., which cannot work");
            }
        }
        long jdkWarned = lines.stream().filter(l -> l.startsWith(JDK_WARNING)).count();
        if (row.jdkWarnings != null && jdkWarned != row.jdkWarnings) {
            wrong.add("the JDK warned " + jdkWarned + " times of a restricted method, expected " + row.jdkWarnings);
        }
        if (row.quiet && lines.stream().anyMatch(l -> l.startsWith("WARNING"))) {
            wrong.add("a warning, where there must be none");
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
