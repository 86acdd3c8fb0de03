package qvloadagent;

import java.io.IOException;
import java.io.InputStream;
import java.io.OutputStream;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.jar.JarFile;
import java.util.jar.Manifest;
import java.util.zip.ZipEntry;
import java.util.zip.ZipOutputStream;

/** Writes the cases' agent jars from the compiled agent classes, each with a manifest of its own. */
final class AgentJars {
    private final Path classes;

    /** @param classes the jar of the compiled test agents (not on the class path) */
    AgentJars(Path classes) {
        this.classes = classes;
    }

    /**
     * A jar holding the named classes (binary names), with a manifest of the given lines, or
     * none when {@code manifestLines} is null. Each entry may also be "name=as" to store a
     * class's bytes under another name.
     */
    Path write(Path jar, String[] manifestLines, String... classNames) throws IOException {
        Files.createDirectories(jar.toAbsolutePath().getParent());
        try (JarFile source = new JarFile(classes.toFile());
                OutputStream file = Files.newOutputStream(jar);
                ZipOutputStream out = new ZipOutputStream(file)) {
            if (manifestLines != null) {
                Manifest manifest = new Manifest();
                manifest.getMainAttributes().putValue("Manifest-Version", "1.0");
                for (String line : manifestLines) {
                    int colon = line.indexOf(':');
                    manifest.getMainAttributes().putValue(line.substring(0, colon), line.substring(colon + 1));
                }
                out.putNextEntry(new ZipEntry(JarFile.MANIFEST_NAME));
                manifest.write(out);
                out.closeEntry();
            }
            for (String name : classNames) {
                String[] parts = name.split("=", 2);
                String entry = parts[parts.length - 1].replace('.', '/') + ".class";
                try (InputStream in = source.getInputStream(source.getEntry(parts[0].replace('.', '/') + ".class"))) {
                    out.putNextEntry(new ZipEntry(entry));
                    in.transferTo(out);
                    out.closeEntry();
                }
            }
        }
        return jar;
    }

    static String[] manifest(String... lines) {
        return lines;
    }
}
