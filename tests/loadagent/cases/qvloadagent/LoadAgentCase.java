package qvloadagent;

import static qvloadagent.AgentJars.manifest;
import static qvloadagent.Check.check;

import java.io.FileNotFoundException;
import java.io.IOException;
import java.lang.instrument.Instrumentation;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.NoSuchFileException;
import java.nio.file.Path;
import java.util.List;
import java.util.zip.ZipException;
import qv.vantrel.quorvane.Quorvane;

/**
 * Quorvane.loadAgent on agent jars written here from the compiled test agents.
 *
 * <p>{@code refused}: a table of broken jars, each refused with the exception that names the
 * jar and what is missing, and none of them appended to a search path or starting the log;
 * then agents that throw, whose failure reaches the caller and whose transformer stays.
 *
 * <p>{@code starts}: which entry method the manifest leads to, its argument, the grants, the
 * class loader, a jar loaded twice, Boot-Class-Path entries, and the end of it all with
 * detach.
 *
 * <p>Usage: {@code LoadAgentCase refused|starts <agent classes jar>}
 */
public final class LoadAgentCase {
    private static final String AGENTS = "qvloadagent.agents.";
    private static final String MARKER = AGENTS + "Marker";

    private LoadAgentCase() {
    }

    public static void main(String[] args) throws Exception {
        AgentJars jars = new AgentJars(Path.of(args[1]));
        switch (args[0]) {
            case "refused":
                refused(jars);
                failures(jars);
                break;
            case "starts":
                starts(jars);
                bootClassPath(jars);
                afterDetach(jars);
                break;
            default:
                throw new IllegalArgumentException(args[0]);
        }
        System.out.println("load-agent case " + args[0] + ": passed");
    }

    /** One broken jar: how it is made and what loadAgent must throw. */
    private static final class Broken {
        final String what;
        final Path jar;
        final Class<? extends Throwable> cause;
        final String message;

        Broken(String what, Path jar, Class<? extends Throwable> cause, String message) {
            this.what = what;
            this.jar = jar.toAbsolutePath();
            this.cause = cause;
            this.message = message;
        }
    }

    private static void refused(AgentJars jars) throws Exception {
        Path here = Path.of("").toAbsolutePath();
        Files.writeString(Path.of("not-a-jar.jar"), "plain text", StandardCharsets.UTF_8);
        Files.createDirectories(Path.of("a-folder.jar"));
        // Every jar that has a manifest also asks for a Boot-Class-Path jar, to see nothing is appended there either.
        jars.write(Path.of("boot/boot1.jar"), null, "qvloadagent.boot.Boot1");
        String boot = "Boot-Class-Path:boot/boot1.jar";
        List<Broken> table = List.of(
                new Broken("a missing jar", here.resolve("missing.jar"), NoSuchFileException.class,
                        "Agent jar not found: " + here.resolve("missing.jar")),
                new Broken("a file that is no jar", Path.of("not-a-jar.jar"), ZipException.class,
                        "Error opening agent jar " + here.resolve("not-a-jar.jar")),
                new Broken("a folder", Path.of("a-folder.jar"), FileNotFoundException.class,
                        "Error opening agent jar " + here.resolve("a-folder.jar")),
                new Broken("no manifest", jars.write(Path.of("no-manifest.jar"), null, MARKER), null,
                        "JAR manifest missing in agent jar " + here.resolve("no-manifest.jar")),
                new Broken("no agent attribute", jars.write(Path.of("no-attribute.jar"),
                        manifest("Can-Redefine-Classes:true", boot), MARKER), null,
                        "Failed to find Agent-Class or Premain-Class manifest attribute in agent jar "
                                + here.resolve("no-attribute.jar")),
                new Broken("blank agent attributes", jars.write(Path.of("blank-attribute.jar"),
                        manifest("Agent-Class:   ", "Premain-Class:", boot), MARKER), null,
                        "Failed to find Agent-Class or Premain-Class manifest attribute in agent jar "
                                + here.resolve("blank-attribute.jar")),
                new Broken("a path for a class name", jars.write(Path.of("path-name.jar"),
                        manifest("Agent-Class:qvloadagent/agents/RecordingAgent", boot), MARKER), null,
                        "Agent-Class of agent jar " + here.resolve("path-name.jar")
                                + " is not a class name: qvloadagent/agents/RecordingAgent"),
                new Broken("a missing class", jars.write(Path.of("missing-class.jar"),
                        manifest("Agent-Class:" + AGENTS + "Absent", boot), MARKER), ClassNotFoundException.class,
                        "Failed to find agent class qvloadagent.agents.Absent of agent jar "
                                + here.resolve("missing-class.jar")),
                new Broken("a missing agentmain", jars.write(Path.of("missing-agentmain.jar"),
                        manifest("Agent-Class:" + AGENTS + "NoEntryAgent", boot), MARKER, AGENTS + "NoEntryAgent"),
                        NoSuchMethodException.class,
                        "Failed to find agentmain(String, Instrumentation) or agentmain(String) in the agent class "
                                + "qvloadagent.agents.NoEntryAgent of agent jar " + here.resolve("missing-agentmain.jar")),
                new Broken("a missing premain", jars.write(Path.of("missing-premain.jar"),
                        manifest("Premain-Class:" + AGENTS + "NoEntryAgent", boot), MARKER, AGENTS + "NoEntryAgent"),
                        NoSuchMethodException.class,
                        "Failed to find premain(String, Instrumentation) or premain(String) in the agent class "
                                + "qvloadagent.agents.NoEntryAgent of agent jar " + here.resolve("missing-premain.jar")),
                // Agent-Class wins: its class's agentmain is missing, whatever Premain-Class offers.
                new Broken("Agent-Class without agentmain beside a good Premain-Class",
                        jars.write(Path.of("agent-class-first.jar"), manifest("Agent-Class:" + AGENTS + "PremainAgent",
                                "Premain-Class:" + AGENTS + "PremainAgent", boot), MARKER, AGENTS + "PremainAgent"),
                        NoSuchMethodException.class, "Failed to find agentmain(String, Instrumentation)"),
                new Broken("an entry method that is not public", jars.write(Path.of("not-public.jar"),
                        manifest("Agent-Class:" + AGENTS + "PrivateEntryAgent", boot), MARKER,
                        AGENTS + "PrivateEntryAgent"), null,
                        "method qvloadagent.agents.PrivateEntryAgent.agentmain must be declared public (agent jar "
                                + here.resolve("not-public.jar") + ")"),
                new Broken("an entry method that is not static", jars.write(Path.of("not-static.jar"),
                        manifest("Agent-Class:" + AGENTS + "InstanceEntryAgent", boot), MARKER,
                        AGENTS + "InstanceEntryAgent"), null,
                        "method qvloadagent.agents.InstanceEntryAgent.agentmain must be declared static"),
                new Broken("a class file of another class", jars.write(Path.of("other-class.jar"),
                        manifest("Agent-Class:" + AGENTS + "Renamed", boot), MARKER, MARKER + "=" + AGENTS + "Renamed"),
                        IOException.class, "The agent class qvloadagent.agents.Renamed of agent jar " + here.resolve("other-class.jar")
                                + " is not a valid class file: it holds class qvloadagent/agents/Marker"));

        for (Broken broken : table) {
            for (boolean asString : new boolean[] {false, true}) {
                try {
                    if (asString) {
                        Quorvane.loadAgent(broken.jar.toString(), "options");
                    } else {
                        Quorvane.loadAgent(broken.jar, "options");
                    }
                    throw new AssertionError(broken.what + ": loadAgent did not refuse it");
                } catch (IllegalArgumentException e) {
                    check(e.getMessage().startsWith(broken.message), broken.what + ": the message is " + e.getMessage());
                    check(broken.cause == null ? e.getCause() == null : broken.cause.isInstance(e.getCause()),
                            broken.what + ": the cause is " + e.getCause());
                }
            }
        }
        try {
            Quorvane.loadAgent((Path) null, null);
            throw new AssertionError("a null jar was taken");
        } catch (NullPointerException expected) {
            // as documented
        }

        // None of them reached a search path, the log or an agent.
        ClassLoader system = ClassLoader.getSystemClassLoader();
        check(system.getResource("qvloadagent/agents/Marker.class") == null, "a refused jar was appended");
        try {
            Class.forName("qvloadagent.boot.Boot1", false, null);
            throw new AssertionError("a refused jar's Boot-Class-Path was appended");
        } catch (ClassNotFoundException expected) {
            // nothing appended to the bootstrap search
        }
        check(!Files.exists(Path.of("libagent.log")), "a refused jar started the log");
        check(Started.STARTS.isEmpty(), "an agent started: " + Started.STARTS);
        System.out.println("refused " + table.size() + " broken jars, nothing appended");
    }

    /** Agents that throw: the caller gets the failure; what the agent registered stays. */
    private static void failures(AgentJars jars) throws Exception {
        Path throwing = jars.write(Path.of("throwing.jar").toAbsolutePath(),
                manifest("Agent-Class:" + AGENTS + "ThrowingAgent"), AGENTS + "ThrowingAgent", AGENTS + "ThrowingAgent$1");
        try {
            Quorvane.loadAgent(throwing, null);
            throw new AssertionError("the throwing agent's failure was lost");
        } catch (IllegalStateException e) {
            Object thrown = Class.forName(AGENTS + "ThrowingAgent").getField("FAILURE").get(null);
            check(e.getCause() == thrown, "the cause is not the agent's exception: " + e.getCause());
            check(e.getMessage().equals("Agent qvloadagent.agents.ThrowingAgent of agent jar " + throwing
                    + " failed: agentmain threw java.lang.IllegalStateException: agent failure on purpose"),
                    "the message: " + e.getMessage());
        }
        Class.forName("qvloadagent.fix.AfterFailure");
        check(Started.SEEN.equals(List.of("throwing-agent qvloadagent/fix/AfterFailure")),
                "the failed agent's transformer is gone: " + Started.SEEN);

        Path failingInit = jars.write(Path.of("failing-init.jar").toAbsolutePath(),
                manifest("Agent-Class:" + AGENTS + "FailingInitAgent"), AGENTS + "FailingInitAgent");
        try {
            Quorvane.loadAgent(failingInit, null);
            throw new AssertionError("the failing initialization was lost");
        } catch (IllegalStateException e) {
            check(e.getCause() instanceof ExceptionInInitializerError
                    && e.getCause().getCause().getMessage().equals("initialization failure on purpose"),
                    "the cause: " + e.getCause());
            check(e.getMessage().equals("Agent qvloadagent.agents.FailingInitAgent of agent jar " + failingInit
                    + " failed: the initialization of qvloadagent.agents.FailingInitAgent threw "
                    + "java.lang.IllegalStateException: initialization failure on purpose"), "the message: " + e.getMessage());
        }
        String log = Files.readString(Path.of("libagent.log"), StandardCharsets.UTF_8);
        check(log.contains("[warning] [Quorvane] Agent qvloadagent.agents.ThrowingAgent of agent jar " + throwing
                + " failed: agentmain threw java.lang.IllegalStateException: agent failure on purpose; what it registered "
                + "before stays registered"), "no warning line for the throwing agent:\n" + log);
        System.out.println("agent failures reach the caller; the throwing agent's transformer stays");
    }

    private static void starts(AgentJars jars) throws Exception {
        Path here = Path.of("").toAbsolutePath();
        String recording = AGENTS + "RecordingAgent";
        Path both = jars.write(Path.of("both.jar"), manifest("Agent-Class:" + recording,
                "Premain-Class:" + recording, "Can-Retransform-Classes:TRUE", "Can-Redefine-Classes: true "), recording);
        Quorvane.loadAgent("both.jar", "some=options,more");
        Started first = Started.last();
        check(first.method.equals("agentmain") && first.options.equals("some=options,more"),
                "Agent-Class: " + first.method + "(" + first.options + ")");
        check(first.agentClass.getClassLoader() == ClassLoader.getSystemClassLoader(),
                "loaded by " + first.agentClass.getClassLoader());
        check(first.agentClass.getProtectionDomain().getCodeSource().getLocation().getPath()
                .equals(here.resolve("both.jar").toUri().getPath()), "loaded from "
                + first.agentClass.getProtectionDomain().getCodeSource().getLocation());
        Instrumentation inst = first.inst;
        check(inst != Quorvane.instrumentation(), "the agent got the shared Instrumentation");
        check(inst.isRetransformClassesSupported() && inst.isRedefineClassesSupported()
                && !inst.isNativeMethodPrefixSupported(), "grants of both.jar");

        // The same jar again: the entry method runs again, with an Instrumentation of its own.
        Quorvane.loadAgent(here.resolve("both.jar"), null);
        check(Started.STARTS.size() == 2 && Started.last().options == null && Started.last().inst != inst
                && Started.last().agentClass == first.agentClass, "loaded twice: " + Started.STARTS.size());

        Quorvane.loadAgent(jars.write(Path.of("premain-only.jar"), manifest("Premain-Class:" + AGENTS + "PremainAgent"),
                AGENTS + "PremainAgent"), "");
        check(Started.last().method.equals("premain") && Started.last().options.isEmpty(), "Premain-Class only");
        Instrumentation plain = Started.last().inst;
        check(!plain.isRetransformClassesSupported() && !plain.isRedefineClassesSupported()
                && !plain.isNativeMethodPrefixSupported(), "grants of a jar that asks none");

        Quorvane.loadAgent(jars.write(Path.of("one-argument.jar"), manifest("Agent-Class:" + AGENTS + "OneArgumentAgent  "),
                AGENTS + "OneArgumentAgent"), "x");
        check(Started.last().method.equals("agentmain") && Started.last().inst == null
                && Started.last().options.equals("x"), "agentmain(String)");

        Quorvane.loadAgent(jars.write(Path.of("package-private.jar"), manifest("Agent-Class:" + AGENTS + "PackagePrivateAgent"),
                AGENTS + "PackagePrivateAgent"), "y");
        check(Started.last().agentClass.getSimpleName().equals("PackagePrivateAgent"), "a class that is not public");

        String log = Files.readString(Path.of("libagent.log"), StandardCharsets.UTF_8);
        check(log.contains("[info] [Quorvane] Starting agent qvloadagent.agents.RecordingAgent.agentmain of "
                + here.resolve("both.jar") + " (redefine: true, retransform: true, native method prefix: false)"),
                "no info line for both.jar:\n" + log);

        // The application's own jar (these cases') names no Launcher-Agent-Class.
        check(!Quorvane.loadLauncherAgent(), "a launcher agent in a jar without one");
        System.out.println("agents started: " + Started.STARTS.size());
    }

    /** After detach, an agent's Instrumentation is dead and loadAgent refuses before appending. */
    private static void afterDetach(AgentJars jars) throws Exception {
        Instrumentation inst = Started.STARTS.get(0).inst;
        Path late = jars.write(Path.of("late.jar"), manifest("Agent-Class:" + AGENTS + "RecordingAgent"),
                AGENTS + "RecordingAgent", MARKER);
        Quorvane.detach();
        int starts = Started.STARTS.size();
        for (Runnable call : new Runnable[] {() -> inst.isRetransformClassesSupported(),
                () -> Quorvane.loadAgent(late, null)}) {
            try {
                call.run();
                throw new AssertionError("a call after detach went through");
            } catch (IllegalStateException e) {
                check(e.getMessage().endsWith("this copy of Quorvane was detached"), "after detach: " + e.getMessage());
            }
        }
        check(Started.STARTS.size() == starts, "an agent started after detach");
        check(ClassLoader.getSystemClassLoader().getResource("qvloadagent/agents/Marker.class") == null,
                "the jar was appended after detach");
    }

    /** Relative, absolute and escaped entries are appended; missing ones and folders are left out with a warning. */
    private static void bootClassPath(AgentJars jars) throws Exception {
        Path here = Path.of("").toAbsolutePath();
        jars.write(Path.of("agent/lib/boot1.jar"), null, "qvloadagent.boot.Boot1");
        Path absolute = jars.write(here.resolve("elsewhere/boot2.jar"), null, "qvloadagent.boot.Boot2");
        jars.write(Path.of("agent/with space/boot3.jar"), null, "qvloadagent.boot.Boot3");
        Files.createDirectories(Path.of("agent/a-folder"));
        Path agentJar = jars.write(Path.of("agent/boot-agent.jar"), manifest("Agent-Class:" + AGENTS + "RecordingAgent",
                "Boot-Class-Path:lib/boot1.jar  " + absolute + " with%20space/boot3.jar missing.jar a-folder"),
                AGENTS + "RecordingAgent");
        Quorvane.loadAgent(agentJar, "boot");
        for (int i = 1; i <= 3; i++) {
            Class<?> type = Class.forName("qvloadagent.boot.Boot" + i, false, null);
            check(type.getClassLoader() == null, type + " is not the bootstrap class loader's");
        }
        String log = Files.readString(Path.of("libagent.log"), StandardCharsets.UTF_8);
        for (String ignored : new String[] {"missing.jar ignored: " + here.resolve("agent/missing.jar") + " not found",
                "a-folder ignored: " + here.resolve("agent/a-folder") + " is no jar file"}) {
            check(log.contains("[warning] [Quorvane] Boot-Class-Path of agent jar " + here.resolve(agentJar) + ": "
                    + ignored), "no warning line for " + ignored + ":\n" + log);
        }
        System.out.println("Boot-Class-Path: 3 jars appended, 2 entries left out");
    }
}
