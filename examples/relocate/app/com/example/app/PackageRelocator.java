package com.example.app;

import java.util.List;
import java.util.concurrent.CopyOnWriteArrayList;
import org.objectweb.asm.ClassReader;
import org.objectweb.asm.ClassWriter;
import org.objectweb.asm.commons.ClassRemapper;
import org.objectweb.asm.commons.Remapper;
import qv.vantrel.quorvane.remapper.Remap;

/**
 * A Quorvane transformer: rewrites every reference to one package (its types, fields,
 * method owners and descriptors) into the same reference in another package.
 */
final class PackageRelocator implements Remap.Transformer {
    private final String from;
    private final String to;
    private final List<String> report = new CopyOnWriteArrayList<>();

    /** Both packages as internal-name prefixes, e.g. {@code com/legacy/text/}. */
    PackageRelocator(String from, String to) {
        this.from = from;
        this.to = to;
    }

    @Override
    public byte[] transform(String internalName, byte[] classBytes) {
        int[] relocated = {0};
        Remapper relocation = new Remapper() {
            @Override
            public String map(String name) {
                if (!name.startsWith(from)) {
                    return name;
                }
                relocated[0]++;
                return to + name.substring(from.length());
            }
        };
        // Flags 0: frames are remapped, not recomputed. Recomputing them would load
        // classes in the middle of this class's own load.
        ClassWriter writer = new ClassWriter(0);
        new ClassReader(classBytes).accept(new ClassRemapper(writer, relocation), 0);
        if (relocated[0] == 0) {
            report.add("unchanged   " + internalName + " (no reference to " + from + ")");
            return null;
        }
        report.add("rewritten   " + internalName + ": " + relocated[0] + " references " + from + " -> " + to);
        return writer.toByteArray();
    }

    /** What this transformer did so far, one line per class it was handed. */
    List<String> report() {
        return report;
    }
}
