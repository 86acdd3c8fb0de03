package qv.vantrel.quorvane.instrument;

import java.io.IOException;
import java.io.InputStream;
import java.lang.reflect.InvocationTargetException;
import java.lang.reflect.Method;
import java.lang.reflect.Modifier;
import java.net.MalformedURLException;
import java.net.URI;
import java.net.URISyntaxException;
import java.net.URL;
import java.net.URLClassLoader;
import java.net.URLConnection;
import java.nio.file.Files;
import java.nio.file.InvalidPathException;
import java.nio.file.Path;
import java.security.CodeSource;
import java.util.ArrayList;
import java.util.List;
import java.util.Objects;

/**
 * Starts an agent jar from inside the application, as the JDK starts one loaded into a
 * running JVM: the work behind {@code Quorvane.loadAgent} and
 * {@code Quorvane.loadLauncherAgent}, whose Javadoc says what it does; call those.
 *
 * <p>Order of the steps, each as the JDK takes it, after {@link HandOut}'s checks of the
 * caller and the JVM's options: the manifest is read and the agent
 * class's entry method found in its class file, before anything changes, so that a jar
 * that would be refused leaves every search path as it was; then the jar is appended to
 * the system class loader's search and the Boot-Class-Path entries to the bootstrap
 * class loader's; then the class is loaded and its entry method called on the calling
 * thread with an Instrumentation of the agent's own. Any thread may call; calls on
 * several threads start their agents at the same time.
 */
public final class AgentLoader {
    private AgentLoader() {
    }

    /**
     * Starts the agent of an agent jar; see {@code Quorvane.loadAgent(Path, String)}.
     *
     * @param jar the agent jar
     * @param options the agent's argument, null included
     * @throws IllegalArgumentException if the jar cannot be read or names no agent that can
     *     be started
     * @throws IllegalCallerException if the caller's module may not have an Instrumentation
     *     (see {@link HandOut})
     * @throws IllegalStateException if the agent's entry method threw, this copy of Quorvane
     *     was detached, or the JVM runs with {@code -XX:-EnableDynamicAgentLoading}
     */
    public static void load(Path jar, String options) {
        Objects.requireNonNull(jar, "Quorvane.loadAgent: the jar is null");
        HandOut.Warning warning = HandOut.ensureNativeAccess("loadAgent");
        HandOut.ensureDynamicAgentLoading("loadAgent");
        AgentJar agent = AgentJar.agent(jar);
        ClassLoader system = ClassLoader.getSystemClassLoader();
        BootClassPath boot = new BootClassPath(agent);
        AgentClassFile.Entry entry = findEntry(agent, boot, system, agent.jar);
        QuorvaneInstrumentation shared = HandOut.shared(warning);
        InstrumentNatives.appendToClassLoaderSearch(agent.jar.toString(), false);
        boot.append();
        start(agent, system, entry, shared, options);
    }

    /**
     * Starts the {@code Launcher-Agent-Class} of the jar a class was loaded from; see
     * {@code Quorvane.loadLauncherAgent()}.
     *
     * @param caller the class whose jar is the application's
     * @return true when the agent was started; false when the jar names none, or the JVM
     *     was started with {@code java -jar} on that jar and so has started it already
     * @throws IllegalStateException if {@code caller} was not loaded from a jar file, if the
     *     agent's entry method threw, if this copy of Quorvane was detached, or if the JVM runs
     *     with {@code -XX:-EnableDynamicAgentLoading} and the agent would start
     * @throws IllegalArgumentException if the jar names an agent that cannot be started
     * @throws IllegalCallerException if the caller's module may not have an Instrumentation
     *     (see {@link HandOut})
     */
    public static boolean loadLauncherAgent(Class<?> caller) {
        Objects.requireNonNull(caller, "Quorvane.loadLauncherAgent: the caller is null");
        HandOut.Warning warning = HandOut.ensureNativeAccess("loadLauncherAgent");
        Path jar = jarOf(caller);
        if (startedWithJavaJar(jar)) {
            return false;
        }
        AgentJar agent = AgentJar.launcher(jar);
        if (agent == null) {
            return false;
        }
        // Only where it would start an agent: the JDK's own java -jar start is the operator's.
        HandOut.ensureDynamicAgentLoading("loadLauncherAgent");
        ClassLoader loader = caller.getClassLoader() != null ? caller.getClassLoader()
                : ClassLoader.getSystemClassLoader();
        BootClassPath boot = new BootClassPath(agent);
        AgentClassFile.Entry entry = findEntry(agent, boot, loader, null);
        QuorvaneInstrumentation shared = HandOut.shared(warning);
        boot.append();
        // As java -jar does: an empty argument, and no jar to append (it holds the caller).
        start(agent, loader, entry, shared, "");
        return true;
    }

    /**
     * The entry method in the class file the loader will define: a Boot-Class-Path jar's
     * first, since the system class loader asks the bootstrap one first, then the loader's,
     * then the agent jar's (with the jars its Class-Path names) when it is still to be
     * appended.
     */
    private static AgentClassFile.Entry findEntry(AgentJar agent, BootClassPath boot, ClassLoader loader, Path toAppend) {
        String resource = agent.agentClass.replace('.', '/') + ".class";
        String described = "agent class " + agent.agentClass + " of agent jar " + agent.jar;
        byte[] classFile;
        try (URLClassLoader bootView = new URLClassLoader(boot.urls(), null);
                URLClassLoader appended = toAppend != null ? new URLClassLoader(new URL[] {url(toAppend)}, loader) : null) {
            URL found = bootView.getResource(resource);
            if (found == null) {
                found = (appended != null ? appended : loader).getResource(resource);
            }
            if (found == null) {
                throw new IllegalArgumentException("Failed to find " + described,
                        new ClassNotFoundException(agent.agentClass));
            }
            classFile = read(found);
        } catch (IOException e) {
            throw new IllegalArgumentException("Could not read the " + described + ": " + e, e);
        }
        AgentClassFile.Entry entry;
        try {
            entry = AgentClassFile.find(classFile, agent.agentClass, agent.entryMethod);
        } catch (IOException e) {
            throw new IllegalArgumentException("The " + described + " is not a valid class file: " + e.getMessage(), e);
        }
        String method = agent.agentClass + "." + agent.entryMethod;
        if (entry == null) {
            throw new IllegalArgumentException("Failed to find " + agent.entryMethod + "(String, Instrumentation) or "
                    + agent.entryMethod + "(String) in the " + described,
                    new NoSuchMethodException(method + "(java.lang.String,java.lang.instrument.Instrumentation)"));
        }
        if ((entry.access & AgentClassFile.ACC_PUBLIC) == 0) {
            throw new IllegalArgumentException("method " + method + " must be declared public (agent jar " + agent.jar + ")");
        }
        if ((entry.access & AgentClassFile.ACC_STATIC) == 0) {
            throw new IllegalArgumentException("method " + method + " must be declared static (agent jar " + agent.jar + ")");
        }
        return entry;
    }

    /** Loads the agent class and calls its entry method on this thread. */
    private static void start(AgentJar agent, ClassLoader loader, AgentClassFile.Entry entry,
            QuorvaneInstrumentation shared, String options) {
        Method method;
        try {
            Class<?> type = loader.loadClass(agent.agentClass);
            method = entry.twoArguments
                    ? type.getDeclaredMethod(agent.entryMethod, String.class, java.lang.instrument.Instrumentation.class)
                    : type.getDeclaredMethod(agent.entryMethod, String.class);
            // As the JDK does: a class of the unnamed module may be other than public.
            if (!Modifier.isPublic(type.getModifiers()) && !type.getModule().isNamed()) {
                method.setAccessible(true);
            }
        } catch (ReflectiveOperationException | LinkageError | RuntimeException e) {
            String message = "Agent class " + agent.agentClass + " of agent jar " + agent.jar + " could not be loaded: "
                    + describe(e);
            InstrumentNatives.logWarning("[Quorvane] " + message);
            throw new IllegalArgumentException(message, e);
        }

        QuorvaneInstrumentation own = shared.forAgent(agent.canRedefine, agent.canRetransform,
                agent.canSetNativeMethodPrefix);
        InstrumentNatives.logInfo("[Quorvane] Starting agent " + agent.agentClass + "." + agent.entryMethod + " of "
                + agent.jar + " (redefine: " + agent.canRedefine + ", retransform: " + agent.canRetransform
                + ", native method prefix: " + agent.canSetNativeMethodPrefix + ")");
        Throwable failure;
        String thrower = agent.entryMethod;
        try {
            method.invoke(null, entry.twoArguments ? new Object[] {options, own} : new Object[] {options});
            return;
        } catch (InvocationTargetException e) {
            failure = e.getCause() != null ? e.getCause() : e;
        } catch (LinkageError e) {
            // The class's initialization threw (ExceptionInInitializerError), or had before.
            failure = e;
            thrower = "the initialization of " + agent.agentClass;
        } catch (IllegalAccessException e) {
            String message = "method " + agent.agentClass + "." + agent.entryMethod + " of agent jar " + agent.jar
                    + " cannot be called: " + e.getMessage();
            InstrumentNatives.logWarning("[Quorvane] " + message);
            throw new IllegalArgumentException(message, e);
        }
        String message = "Agent " + agent.agentClass + " of agent jar " + agent.jar + " failed: " + thrower + " threw "
                + describe(failure);
        InstrumentNatives.logWarning("[Quorvane] " + message + "; what it registered before stays registered");
        throw new IllegalStateException(message, failure);
    }

    /**
     * The Boot-Class-Path entries of an agent jar: each the path part of a URI, with %-escapes,
     * relative to the jar's folder unless it starts with '/'. Entries that are malformed, do
     * not exist or are no jar file are left out, as the JDK leaves them out for an agent
     * started in a running JVM, with a warning line each once the log is up.
     */
    private static final class BootClassPath {
        private final AgentJar agent;
        private final List<Path> jars = new ArrayList<>();
        private final List<String> ignored = new ArrayList<>();

        BootClassPath(AgentJar agent) {
            this.agent = agent;
            Path folder = agent.jar.getParent();
            for (String entry : agent.bootClassPath) {
                Path path;
                try {
                    URI uri = new URI(entry);
                    if (uri.getScheme() != null || uri.getRawAuthority() != null || uri.getRawQuery() != null
                            || uri.getRawFragment() != null || uri.getPath() == null || uri.getPath().isEmpty()) {
                        ignored.add(entry + " ignored: not a path");
                        continue;
                    }
                    path = folder.resolve(uri.getPath()).normalize();
                } catch (URISyntaxException | InvalidPathException e) {
                    ignored.add(entry + " ignored: " + e.getMessage());
                    continue;
                }
                if (Files.isRegularFile(path)) {
                    jars.add(path);
                } else {
                    ignored.add(entry + " ignored: " + path + (Files.exists(path) ? " is no jar file" : " not found"));
                }
            }
        }

        URL[] urls() throws MalformedURLException {
            URL[] urls = new URL[jars.size()];
            for (int i = 0; i < urls.length; i++) {
                urls[i] = url(jars.get(i));
            }
            return urls;
        }

        /** Appends each jar to the bootstrap class loader's search; a jar the JVM refuses is left out too. */
        void append() {
            for (Path jar : jars) {
                try {
                    InstrumentNatives.appendToClassLoaderSearch(jar.toString(), true);
                } catch (IllegalArgumentException | UnsupportedOperationException e) {
                    ignored.add(jar + " ignored: " + e.getMessage());
                }
            }
            for (String entry : ignored) {
                InstrumentNatives.logWarning("[Quorvane] " + AgentJar.BOOT_CLASS_PATH + " of agent jar " + agent.jar
                        + ": " + entry);
            }
        }
    }

    /** The jar a class was loaded from. */
    private static Path jarOf(Class<?> caller) {
        CodeSource source = caller.getProtectionDomain().getCodeSource();
        URL location = source != null ? source.getLocation() : null;
        Path jar = null;
        try {
            if (location != null && "file".equals(location.getProtocol())) {
                jar = Path.of(location.toURI());
            }
        } catch (URISyntaxException | IllegalArgumentException e) {
            jar = null;
        }
        if (jar == null || !Files.isRegularFile(jar)) {
            throw new IllegalStateException("Quorvane.loadLauncherAgent: " + caller.getName()
                    + " was not loaded from a jar file but from " + location);
        }
        return jar;
    }

    /**
     * Whether the JVM was started with {@code java -jar} on this jar, and so has already
     * started its Launcher-Agent-Class: the launcher then makes the jar the whole class path
     * and names it first in its command.
     */
    private static boolean startedWithJavaJar(Path jar) {
        String command = System.getProperty("sun.java.command");
        String classPath = System.getProperty("java.class.path");
        if (command == null || classPath == null || classPath.isEmpty()
                || classPath.contains(java.io.File.pathSeparator)
                || !(command.equals(classPath) || command.startsWith(classPath + " "))) {
            return false;
        }
        try {
            return Files.isSameFile(Path.of(classPath), jar);
        } catch (IOException | InvalidPathException e) {
            return false;
        }
    }

    private static URL url(Path path) throws MalformedURLException {
        return path.toUri().toURL();
    }

    /** A resource's bytes, without leaving its jar open in the URL cache. */
    private static byte[] read(URL resource) throws IOException {
        URLConnection connection = resource.openConnection();
        connection.setUseCaches(false);
        try (InputStream in = connection.getInputStream()) {
            return in.readAllBytes();
        }
    }

    /** How a message shows a throwable, even one whose toString throws. */
    private static String describe(Throwable failure) {
        Throwable shown = failure instanceof ExceptionInInitializerError && failure.getCause() != null
                ? failure.getCause() : failure;
        try {
            return String.valueOf(shown);
        } catch (RuntimeException unprintable) {
            return shown.getClass().getName();
        }
    }
}
