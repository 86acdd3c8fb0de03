package com.example.app;

import com.vendor.billing.Invoice;
import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.List;
import qv.vantrel.quorvane.Quorvane;
import qv.vantrel.quorvane.remapper.Remap;

/**
 * The application. It uses a vendor jar built against com.legacy.text, a library it no
 * longer ships; Quorvane points the vendor's classes at org.modern.text while they load,
 * without rebuilding the vendor jar. Run with {@code --without-quorvane} to see the
 * vendor code fail without it.
 */
public final class Main {
    private Main() {
    }

    public static void main(String[] args) throws IOException {
        if (args.length > 0 && args[0].equals("--without-quorvane")) {
            System.out.println(renderInvoice());
            return;
        }

        // 1. Which classes the transformer sees: internal names, '/' between packages.
        Quorvane.addInclude("com/vendor/billing/");
        Quorvane.addExclude("com/vendor/billing/License");

        // 2. What happens to them.
        PackageRelocator relocator = new PackageRelocator("com/legacy/text/", "org/modern/text/");
        Remap.setTransformer(relocator);

        // 3. Attach to the JVM: every class loaded from now on passes the filters first.
        if (!Quorvane.initNative()) {
            System.err.println("Quorvane could not attach to this JVM; see libagent.log");
            System.exit(1);
        }

        // 4. Use the vendor code as usual. Without the relocation it would throw
        //    NoClassDefFoundError: com/legacy/text/Formatter.
        String invoice = renderInvoice();

        System.out.println();
        System.out.println("== What Quorvane handed to the transformer");
        relocator.report().forEach(line -> System.out.println("  " + line));
        System.out.println("  (com/vendor/billing/License was excluded and loaded as shipped)");
        System.out.println();
        System.out.println("== The vendor's invoice, printed through org.modern.text.Formatter");
        System.out.println(invoice.indent(2));
        Path log = Paths.get("libagent.log").toAbsolutePath();
        System.out.println("== The log (console and " + log + "), lines about com/vendor/:");
        List<String> vendorLines = Files.readAllLines(log).stream().filter(line -> line.contains("com/vendor/")).toList();
        vendorLines.forEach(line -> System.out.println("  " + line));
        if (vendorLines.stream().noneMatch(line -> line.contains("Remapped: com/vendor/billing/Invoice "))) {
            System.err.println("The log does not show the vendor's Invoice being remapped.");
            System.exit(1);
        }
    }

    private static String renderInvoice() {
        return new Invoice("EUR").add("Hosting, March", 12_900).add("Support", 4_550).render();
    }
}
