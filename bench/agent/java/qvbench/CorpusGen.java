package qvbench;

import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.Random;

/**
 * Writes the Java sources of the class corpus: ordinary application classes with
 * fields, constructors, methods, string constants and a nested class each, half of
 * them under the selected root {@code com/acme/orders/} and half under
 * {@code com/acme/billing/}. Seeded, so every build compiles the same corpus.
 *
 * <p>Usage: {@code CorpusGen <out-dir> <classes-per-root>}; every source yields two
 * classes (the class and its nested {@code Part}).
 */
public final class CorpusGen {
    static final String[] ROOTS = {"com.acme.orders", "com.acme.billing"};
    static final int PACKAGES_PER_ROOT = 16;
    private static final String[] NOUNS = {"Order", "Invoice", "Customer", "Ledger", "Shipment", "Account",
        "Payment", "Refund", "Quote", "Basket", "Coupon", "Carrier", "Address", "Tariff", "Rebate", "Stock"};
    private static final String[] ROLES = {"Service", "Record", "Builder", "Mapper", "Policy", "Event", "View", "Rule"};

    private CorpusGen() {
    }

    public static void main(String[] args) throws IOException {
        Path out = Paths.get(args[0]);
        int perRoot = Integer.parseInt(args[1]);
        Random random = new Random(20261210L);
        for (String root : ROOTS) {
            for (int i = 0; i < perRoot; i++) {
                String pkg = root + ".p" + String.format("%02d", i % PACKAGES_PER_ROOT);
                String name = NOUNS[i % NOUNS.length] + ROLES[(i / NOUNS.length) % ROLES.length] + i;
                Path dir = out.resolve(pkg.replace('.', '/'));
                Files.createDirectories(dir);
                Files.write(dir.resolve(name + ".java"), source(pkg, name, random).getBytes(StandardCharsets.UTF_8));
            }
        }
    }

    private static String source(String pkg, String name, Random random) {
        StringBuilder s = new StringBuilder(4096);
        int fields = 3 + random.nextInt(5);
        s.append("package ").append(pkg).append(";\n\n");
        s.append("import java.util.ArrayList;\nimport java.util.List;\nimport java.util.Map;\nimport java.util.HashMap;\n\n");
        s.append("public class ").append(name).append(" implements java.io.Serializable, Comparable<").append(name).append("> {\n");
        s.append("    private static final long serialVersionUID = ").append(random.nextLong()).append("L;\n");
        s.append("    public static final String KIND = \"").append(pkg).append('.').append(name).append("\";\n");
        s.append("    private static final Map<String, Integer> CODES = new HashMap<>();\n");
        s.append("    static {\n");
        for (int i = 0; i < 4; i++) {
            s.append("        CODES.put(\"code-").append(name.toLowerCase()).append('-').append(i).append("\", ")
                .append(random.nextInt(10000)).append(");\n");
        }
        s.append("    }\n");
        for (int f = 0; f < fields; f++) {
            s.append("    private ").append(type(f)).append(" field").append(f).append(";\n");
        }
        s.append("    private final List<Part> parts = new ArrayList<>();\n\n");
        s.append("    public ").append(name).append("(");
        for (int f = 0; f < fields; f++) {
            s.append(f == 0 ? "" : ", ").append(type(f)).append(" field").append(f);
        }
        s.append(") {\n");
        for (int f = 0; f < fields; f++) {
            s.append("        this.field").append(f).append(" = field").append(f).append(";\n");
        }
        s.append("    }\n\n");
        for (int f = 0; f < fields; f++) {
            String cap = "Field" + f;
            s.append("    public ").append(type(f)).append(" get").append(cap).append("() {\n        return field")
                .append(f).append(";\n    }\n\n");
            s.append("    public void set").append(cap).append("(").append(type(f)).append(" value) {\n");
            if (type(f).equals("String")) {
                s.append("        if (value == null || value.isEmpty()) {\n            throw new IllegalArgumentException(\"")
                    .append(name).append(": field").append(f).append(" must not be empty\");\n        }\n");
            }
            s.append("        this.field").append(f).append(" = value;\n    }\n\n");
        }
        s.append("    public Part addPart(String label, int quantity) {\n");
        s.append("        Part part = new Part(label, quantity);\n        parts.add(part);\n        return part;\n    }\n\n");
        s.append("    public int total() {\n        int sum = 0;\n        for (Part part : parts) {\n");
        s.append("            sum += part.quantity * CODES.getOrDefault(part.label, ").append(1 + random.nextInt(9))
            .append(");\n        }\n        return sum;\n    }\n\n");
        s.append("    public String describe(String mode) {\n        switch (mode) {\n");
        for (int i = 0; i < 3; i++) {
            s.append("            case \"mode").append(i).append("\":\n                return \"").append(name)
                .append(" in mode ").append(i).append(" with \" + parts.size() + \" parts\";\n");
        }
        s.append("            default:\n                return toString();\n        }\n    }\n\n");
        s.append("    @Override\n    public int compareTo(").append(name).append(" other) {\n");
        s.append("        return Integer.compare(total(), other.total());\n    }\n\n");
        s.append("    @Override\n    public String toString() {\n        StringBuilder b = new StringBuilder(\"")
            .append(name).append("{\");\n");
        for (int f = 0; f < fields; f++) {
            s.append("        b.append(\"field").append(f).append("=\").append(field").append(f).append(").append(\", \");\n");
        }
        s.append("        return b.append(\"parts=\").append(parts).append('}').toString();\n    }\n\n");
        s.append("    /** One line of a ").append(name).append(". */\n");
        s.append("    public static final class Part implements java.io.Serializable {\n");
        s.append("        private static final long serialVersionUID = 1L;\n");
        s.append("        final String label;\n        final int quantity;\n\n");
        s.append("        Part(String label, int quantity) {\n            if (quantity < 0) {\n");
        s.append("                throw new IllegalArgumentException(\"negative quantity for \" + label);\n            }\n");
        s.append("            this.label = label;\n            this.quantity = quantity;\n        }\n\n");
        s.append("        @Override\n        public String toString() {\n            return label + \" x\" + quantity;\n        }\n");
        s.append("    }\n}\n");
        return s.toString();
    }

    private static String type(int f) {
        switch (f % 4) {
            case 0:
                return "String";
            case 1:
                return "long";
            case 2:
                return "int";
            default:
                return "List<String>";
        }
    }
}
