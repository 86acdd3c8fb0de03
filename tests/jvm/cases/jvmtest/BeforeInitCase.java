package jvmtest;

import java.nio.file.Files;
import java.util.List;
import qv.vantrel.quorvane.Quorvane;
import qv.vantrel.quorvane.remapper.Remap;

/**
 * Until initNative the library touches no class and logs nothing, not even the filter edits
 * made meanwhile; those edits still take effect once it runs.
 */
public final class BeforeInitCase {
    private BeforeInitCase() {
    }

    public static void main(String[] args) {
        Check.run("before-init", args, a -> {
            Recorder recorder = Recorder.rewriting();
            Remap.setTransformer(recorder);
            Check.that(Quorvane.addInclude("fixture/"), "addInclude returned false");
            Check.that(Quorvane.addExclude("fixture/GreeterFactory"), "addExclude returned false");
            Check.that(Quorvane.removeExclude("fixture/GreeterFactory"), "removeExclude returned false");

            Check.equal(ClassFiles.ORIGINAL, Fixtures.run("fixture.Greeter"), "fixture.Greeter.get() before initNative");
            Check.equal(0, recorder.calls("fixture/Greeter"), "transformer calls before initNative");
            Check.that(!Files.exists(AgentLog.FILE), "%s exists before initNative", AgentLog.FILE);
            Check.equal(List.of(), AgentLog.console(), "console lines before initNative");

            Check.that(Quorvane.initNative(), "initNative returned false");
            Check.equal(ClassFiles.REWRITTEN, Fixtures.run("fixture.Greeter"), "fixture.Greeter.get() after initNative");
            Check.equal(1, recorder.calls("fixture/Greeter"), "transformer calls for fixture/Greeter");
            // The exclude added and removed before initNative is gone too.
            Check.equal(ClassFiles.REWRITTEN, Fixtures.run("fixture.GreeterFactory"), "fixture.GreeterFactory.get()");

            List<AgentLog.Line> console = AgentLog.console();
            Check.equal(new AgentLog.Line("info", AgentLog.INITIALIZING), console.get(0), "first console line");
            List<AgentLog.Line> file = AgentLog.checkedFile("info");
            for (String edit : List.of("addInclude", "addExclude", "removeExclude")) {
                AgentLog.none(file, edit);
                AgentLog.none(console, edit);
            }
        });
    }
}
