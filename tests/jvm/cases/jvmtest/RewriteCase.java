package jvmtest;

import java.util.Arrays;
import java.util.List;
import java.util.function.UnaryOperator;
import qv.vantrel.quorvane.Quorvane;
import qv.vantrel.quorvane.remapper.Remap;

/**
 * A selected class is handed to the transformer once, with its class file, and what the
 * transformer returns is what runs. Argument "rewrite": a constant is edited and the class
 * behaves differently; "identity": the very array it was given comes back, which still
 * counts as a replacement of equal size.
 */
public final class RewriteCase {
    private RewriteCase() {
    }

    public static void main(String[] args) {
        Check.run("rewrite", args, a -> {
            boolean identity = a[0].equals("identity");
            UnaryOperator<byte[]> edit = identity ? bytes -> bytes : ClassFiles::rewrite;
            Recorder recorder = new Recorder(edit);
            Remap.setTransformer(recorder);
            Check.that(Quorvane.addInclude("fixture/Greeter"), "addInclude returned false");
            Check.that(Quorvane.initNative(), "initNative returned false");

            String result = Fixtures.run("fixture.Greeter");

            Check.equal(identity ? ClassFiles.ORIGINAL : ClassFiles.REWRITTEN, result, "fixture.Greeter.get()");
            Check.equal(1, recorder.calls("fixture/Greeter"), "transformer calls for fixture/Greeter");
            byte[] original = Fixtures.classFile("fixture/Greeter");
            Check.that(Arrays.equals(original, recorder.first("fixture/Greeter")),
                    "the transformer was not handed the class file as the jar holds it");
            int newLength = identity ? original.length : ClassFiles.rewrite(original).length;
            List<AgentLog.Line> log = AgentLog.checkedFile("info", "debug");
            AgentLog.once(log, "info",
                    "[Quorvane] Remapped: fixture/Greeter (" + original.length + " -> " + newLength + " bytes)");
            AgentLog.once(log, "debug", "[Quorvane] Cached static declarations: qv/vantrel/quorvane/remapper/Remap.remap");
            AgentLog.once(log, "info", "[Quorvane] Quorvane is initialized.");
        });
    }
}
