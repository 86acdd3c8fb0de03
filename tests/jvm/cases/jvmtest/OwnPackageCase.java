package jvmtest;

import java.util.List;
import qv.vantrel.quorvane.Quorvane;
import qv.vantrel.quorvane.remapper.Remap;

/**
 * Classes of the library's own package never reach the transformer and leave no log line,
 * even when an include names them; a package that merely shares its letters is ordinary.
 */
public final class OwnPackageCase {
    private OwnPackageCase() {
    }

    public static void main(String[] args) {
        Check.run("own-package", args, a -> {
            Recorder recorder = Recorder.rewriting();
            Remap.setTransformer(recorder);
            Check.that(Quorvane.addInclude("qv/"), "addInclude returned false");
            Check.that(Quorvane.addInclude("qv/vantrel/quorvane/fixture/Inside"), "addInclude returned false");
            Check.that(Quorvane.initNative(), "initNative returned false");

            Check.equal(ClassFiles.ORIGINAL, Fixtures.run("qv.vantrel.quorvane.fixture.Inside"), "Inside.get()");
            Check.equal(ClassFiles.REWRITTEN, Fixtures.run("qv.vantrel.quorvanex.Near"), "Near.get()");

            Check.equal(1, recorder.calls("qv/vantrel/quorvanex/Near"), "transformer calls for Near");
            for (String name : recorder.seen()) {
                Check.that(!name.startsWith("qv/vantrel/quorvane/"), "the transformer was handed %s", name);
            }
            List<AgentLog.Line> log = AgentLog.checkedFile("info");
            AgentLog.none(log, "qv/vantrel/quorvane/fixture/Inside");
            Check.equal(1L, AgentLog.countContaining(log, "Remapped: qv/vantrel/quorvanex/Near "), "Remapped lines for Near");
        });
    }
}
