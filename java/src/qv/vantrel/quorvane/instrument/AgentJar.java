package qv.vantrel.quorvane.instrument;

import java.io.ByteArrayInputStream;
import java.io.IOException;
import java.io.InputStream;
import java.nio.file.NoSuchFileException;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Collections;
import java.util.List;
import java.util.jar.Attributes;
import java.util.jar.JarFile;
import java.util.jar.Manifest;
import java.util.zip.ZipEntry;

/**
 * What an agent jar's manifest says, read the way the JDK reads it for an agent: the
 * agent class and its entry method, the grants, and the Boot-Class-Path entries. Reading
 * changes nothing; every refusal is an {@link IllegalArgumentException} that names the
 * jar and what is missing.
 */
final class AgentJar {
    static final String AGENT_CLASS = "Agent-Class";
    static final String PREMAIN_CLASS = "Premain-Class";
    static final String LAUNCHER_AGENT_CLASS = "Launcher-Agent-Class";
    static final String BOOT_CLASS_PATH = "Boot-Class-Path";
    static final String CAN_REDEFINE = "Can-Redefine-Classes";
    static final String CAN_RETRANSFORM = "Can-Retransform-Classes";
    static final String CAN_SET_NATIVE_METHOD_PREFIX = "Can-Set-Native-Method-Prefix";

    /** The jar, absolute and normalized. */
    final Path jar;
    /** The agent class's binary name. */
    final String agentClass;
    /** {@code agentmain} or {@code premain}. */
    final String entryMethod;
    final boolean canRedefine;
    final boolean canRetransform;
    final boolean canSetNativeMethodPrefix;
    /** The Boot-Class-Path entries as written, in their order. */
    final List<String> bootClassPath;

    private AgentJar(Path jar, String agentClass, String entryMethod, Attributes main) {
        this.jar = jar;
        this.agentClass = agentClass;
        this.entryMethod = entryMethod;
        this.canRedefine = isTrue(main, CAN_REDEFINE);
        this.canRetransform = isTrue(main, CAN_RETRANSFORM);
        this.canSetNativeMethodPrefix = isTrue(main, CAN_SET_NATIVE_METHOD_PREFIX);
        String path = value(main, BOOT_CLASS_PATH);
        List<String> entries = new ArrayList<>();
        if (path != null) {
            Collections.addAll(entries, path.split(" +"));
        }
        this.bootClassPath = Collections.unmodifiableList(entries);
    }

    /**
     * An agent jar as an agent loaded into a running JVM: its {@code Agent-Class} with
     * {@code agentmain}, or, since many agents ship only for the command line, its
     * {@code Premain-Class} with {@code premain}.
     */
    static AgentJar agent(Path jar) {
        Path at = jar.toAbsolutePath().normalize();
        Attributes main = mainAttributes(at, true);
        String agentClass = value(main, AGENT_CLASS);
        if (agentClass != null) {
            return new AgentJar(at, checkedName(agentClass, at, AGENT_CLASS), "agentmain", main);
        }
        String premainClass = value(main, PREMAIN_CLASS);
        if (premainClass != null) {
            return new AgentJar(at, checkedName(premainClass, at, PREMAIN_CLASS), "premain", main);
        }
        throw new IllegalArgumentException("Failed to find " + AGENT_CLASS + " or " + PREMAIN_CLASS
                + " manifest attribute in agent jar " + at);
    }

    /**
     * The agent an application's own jar names in {@code Launcher-Agent-Class}, started with
     * {@code agentmain}; null when the jar has no manifest or no such attribute.
     */
    static AgentJar launcher(Path jar) {
        Path at = jar.toAbsolutePath().normalize();
        Attributes main = mainAttributes(at, false);
        String agentClass = main != null ? value(main, LAUNCHER_AGENT_CLASS) : null;
        if (agentClass == null) {
            return null;
        }
        return new AgentJar(at, checkedName(agentClass, at, LAUNCHER_AGENT_CLASS), "agentmain", main);
    }

    /** The main attributes; without a manifest, a refusal or null as {@code required} says. */
    private static Attributes mainAttributes(Path jar, boolean required) {
        Manifest manifest;
        // The jar's own manifest, whatever the runtime version: an agent attribute is never versioned.
        try (JarFile file = new JarFile(jar.toFile(), false)) {
            manifest = required ? agentManifest(file) : file.getManifest();
        } catch (NoSuchFileException e) {
            throw new IllegalArgumentException("Agent jar not found: " + jar, e);
        } catch (IOException | SecurityException | UnsupportedOperationException e) {  // the last: not a file system path
            throw new IllegalArgumentException("Error opening agent jar " + jar + ": " + e, e);
        }
        if (manifest == null) {
            if (required) {
                throw new IllegalArgumentException("JAR manifest missing in agent jar " + jar);
            }
            return null;
        }
        return manifest.getMainAttributes();
    }

    /**
     * The manifest as the JDK reads an agent jar's for {@code -javaagent} and attach: its own
     * parser takes a UTF-8 byte-order mark at the start as part of the first attribute's name,
     * so that attribute counts for nothing and the rest reads as usual, where
     * {@link JarFile#getManifest} refuses the whole manifest. So that first attribute (with
     * its continuation lines) is left out here.
     */
    private static Manifest agentManifest(JarFile file) throws IOException {
        ZipEntry entry = file.getEntry(JarFile.MANIFEST_NAME);
        if (entry == null) {
            return file.getManifest();
        }
        byte[] bytes;
        try (InputStream in = file.getInputStream(entry)) {
            bytes = in.readAllBytes();
        }
        if (bytes.length < 3 || (bytes[0] & 0xFF) != 0xEF || (bytes[1] & 0xFF) != 0xBB || (bytes[2] & 0xFF) != 0xBF) {
            return file.getManifest();
        }
        int at = 3;
        do {
            while (at < bytes.length && bytes[at] != '\n' && bytes[at] != '\r') {
                at++;
            }
            if (at < bytes.length && bytes[at] == '\r') {
                at++;
            }
            if (at < bytes.length && bytes[at] == '\n') {
                at++;
            }
        } while (at < bytes.length && bytes[at] == ' ');  // a continuation line
        return new Manifest(new ByteArrayInputStream(bytes, at, bytes.length - at));
    }

    /** An attribute's value without the spaces around it; null when absent or blank, as the JDK reads it. */
    private static String value(Attributes main, String name) {
        String value = main.getValue(name);
        if (value == null || value.isBlank()) {
            return null;
        }
        return value.strip();
    }

    private static boolean isTrue(Attributes main, String name) {
        return "true".equalsIgnoreCase(value(main, name));
    }

    /** A binary name: dotted identifiers, nothing a class loader would read as a path or an array. */
    private static String checkedName(String name, Path jar, String attribute) {
        for (String part : name.split("\\.", -1)) {
            if (part.isEmpty() || part.chars().anyMatch(c -> c == '/' || c == '[' || c == ';' || Character.isWhitespace(c))) {
                throw new IllegalArgumentException(attribute + " of agent jar " + jar + " is not a class name: " + name);
            }
        }
        return name;
    }
}
