package jvmtest;

import java.util.List;
import qv.vantrel.quorvane.Quorvane;
import qv.vantrel.quorvane.remapper.Remap;

/**
 * Filter edits made while classes load take effect for the next class: a table of steps, each
 * an optional edit followed by a fresh load of one fixture. A class passed over stays as it
 * is and leaves one trace line; each edit leaves its debug line.
 */
public final class FilterCase {
    private FilterCase() {
    }

    private record Step(String edit, String entry, String fixture, boolean remapped) {
    }

    private static final List<Step> STEPS = List.of(
            new Step("addInclude", "fixture/", "fixture.Greeter", true),
            new Step(null, null, "fixture.deep.Thing", true),
            // An exclude wins over an include, and covers nested classes.
            new Step("addExclude", "fixture/Greeter", "fixture.Greeter", false),
            new Step(null, null, "fixture.Greeter$Part", false),
            new Step(null, null, "fixture.GreeterFactory", true),
            new Step("removeExclude", "fixture/Greeter", "fixture.Greeter", true),
            new Step("addExclude", "fixture/deep/", "fixture.deep.Thing", false),
            // Without an include nothing is remapped.
            new Step("clearIncludes", null, "fixture.GreeterFactory", false),
            // A class entry covers its nested classes but not a longer name.
            new Step("addInclude", "fixture/Greeter", "fixture.Greeter$Part", true),
            new Step(null, null, "fixture.GreeterFactory", false),
            new Step("clearExcludes", null, "fixture.Greeter", true),
            new Step(null, null, "fixture.deep.Thing", false),
            // Entries are never converted from dotted form.
            new Step("addInclude", "fixture.deep.Thing", "fixture.deep.Thing", false),
            new Step("removeInclude", "fixture/Greeter", "fixture.Greeter", false));

    public static void main(String[] args) {
        Check.run("filters", args, a -> {
            Recorder recorder = Recorder.rewriting();
            Remap.setTransformer(recorder);
            Check.that(Quorvane.initNative(), "initNative returned false");

            for (Step step : STEPS) {
                String internalName = step.fixture().replace('.', '/');
                List<AgentLog.Line> before = AgentLog.file();
                int callsBefore = recorder.calls(internalName);
                if (step.edit() != null) {
                    Check.that(edit(step.edit(), step.entry()), "%s(%s) returned false", step.edit(), step.entry());
                }

                String result = Fixtures.run(step.fixture());

                List<AgentLog.Line> after = AgentLog.file();
                String context = step + ": ";
                Check.equal(step.remapped() ? ClassFiles.REWRITTEN : ClassFiles.ORIGINAL, result, context + "get()");
                Check.equal(callsBefore + (step.remapped() ? 1 : 0), recorder.calls(internalName), context + "transformer calls");
                String skipped = "[Quorvane] Skipped by filter: " + internalName;
                Check.equal(AgentLog.count(before, "trace", skipped) + (step.remapped() ? 0 : 1),
                        AgentLog.count(after, "trace", skipped), context + "lines " + skipped);
                if (step.edit() != null) {
                    String logged = "[Quorvane] " + step.edit();
                    Check.equal(AgentLog.count(before, "debug", logged) + 1, AgentLog.count(after, "debug", logged),
                            context + "lines " + logged);
                }
            }
            AgentLog.checkedFile("trace", "debug", "info");
        });
    }

    private static boolean edit(String edit, String entry) {
        switch (edit) {
            case "addInclude":
                return Quorvane.addInclude(entry);
            case "addExclude":
                return Quorvane.addExclude(entry);
            case "removeInclude":
                return Quorvane.removeInclude(entry);
            case "removeExclude":
                return Quorvane.removeExclude(entry);
            case "clearIncludes":
                Quorvane.clearIncludes();
                return true;
            case "clearExcludes":
                Quorvane.clearExcludes();
                return true;
            default:
                throw new IllegalArgumentException(edit);
        }
    }
}
